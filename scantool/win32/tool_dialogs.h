#pragma once
// The modal dialogs of the Windows window (cycles, save protocol, generate, port selection,
// About) and the modeless progress window. Each shows the fields of the core's dialog object
// and calls its operations for the user's actions; none decides a value itself.

#include <windows.h>

#include <memory>

#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/progress.h"

namespace kvx::scantool::win32 {

// True when the dialog closed with OK.
bool RunCyclesDialog(HWND owner, CCyclesDlg& dialog);
bool RunSaveProtocolDialog(HWND owner, CSaveProtocolDlg& dialog);
bool RunGenerateIniDialog(HWND owner, CGenerateIniDlg& dialog);
bool RunPortDialog(HWND owner, CSelectComPortDlg& dialog, FrontEnd& frontEnd);
void RunAboutDialog(HWND owner);
// The About box without a loop of its own: it closes itself with OK.
void OpenAboutDialog(HWND owner);

// The progress window of a scan or a test; nullptr when it cannot be created.
std::unique_ptr<ProgressView> CreateWin32ProgressView(ProgressWindow& window, HWND owner);

}  // namespace kvx::scantool::win32
