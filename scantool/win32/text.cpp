#include "text.h"

#include "kvx/platform/codepage.h"

namespace kvx::scantool::win32 {

std::wstring FromAnsi(std::string_view ansi) {
    const std::u16string wide = platform::AnsiToUtf16(ansi);
    return {wide.begin(), wide.end()};
}

std::string ToAnsi(std::wstring_view text) {
    return platform::Utf16ToAnsi(std::u16string(text.begin(), text.end()));
}

std::wstring FromSystem(std::string_view name) {
    if (name.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                        nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), n);
    return wide;
}

std::string ToSystem(std::wstring_view name) {
    if (name.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()), narrow.data(), n,
                          nullptr, nullptr);
    return narrow;
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring ItemText(HWND dialog, int id) {
    return WindowText(::GetDlgItem(dialog, id));
}

void SetItemText(HWND dialog, int id, const std::wstring& text) {
    if (ItemText(dialog, id) != text) ::SetDlgItemTextW(dialog, id, text.c_str());
}

std::wstring LoadText(UINT id) {
    const wchar_t* text = nullptr;
    // With a length of 0 the call gives a pointer to the resource itself, not a copy.
    const int n = ::LoadStringW(::GetModuleHandleW(nullptr), id,
                                reinterpret_cast<wchar_t*>(&text), 0);
    return n > 0 ? std::wstring(text, static_cast<std::size_t>(n)) : std::wstring();
}

}  // namespace kvx::scantool::win32
