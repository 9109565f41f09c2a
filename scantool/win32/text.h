#pragma once
// Texts between the tool's core and the Windows controls. The core keeps texts (messages,
// member lines, comments, file names shown in dialogs) in the ANSI code page (Windows-1252),
// and port names and paths as the system's narrow names; the controls hold UTF-16.

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::scantool::win32 {

std::wstring FromAnsi(std::string_view ansi);
std::string ToAnsi(std::wstring_view text);
std::wstring FromSystem(std::string_view name);
std::string ToSystem(std::wstring_view name);
inline std::wstring FromPath(const std::filesystem::path& path) { return path.wstring(); }

// The text of a window or control.
std::wstring WindowText(HWND window);
std::wstring ItemText(HWND dialog, int id);
// Sets it only when it differs, so that a control does not flicker or notify for nothing.
void SetItemText(HWND dialog, int id, const std::wstring& text);
// A string resource of the program.
std::wstring LoadText(UINT id);

}  // namespace kvx::scantool::win32
