#pragma once
// The main window of linkspy on Windows: the dialog with the six picture buttons, the member
// list, the port label, the cycle field and the elapsed-time field over the tool's core,
// which owns every value. The window is the core's front end: message boxes, the modal
// dialogs and the progress windows, all Win32 dialogs and standard controls.

#include <windows.h>

#include <array>
#include <string>

#include "kvx/scantool/scan_tool.h"

namespace kvx::scantool::win32 {

class MainWindow final : public FrontEnd {
  public:
    // Loads the buttons' bitmaps; a bitmap that cannot be loaded throws (the program ends
    // before its window shows).
    explicit MainWindow(ToolEnvironment environment);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Start of the program: reads LINKSPY.INI (a missing file is reported).
    void Start() { tool_.Start(); }
    // Runs the window as the program's modal dialog until it closes.
    void RunModal();
    // Opens the window without a loop of its own (the caller pumps), for the window's tests.
    HWND Open();

    CScanToolDlg& tool() { return tool_; }
    // From a click on SCAN, TEST, REPORT, GENERATE or COM until its sequence has ended.
    bool sequencePending() const { return pending_ != 0; }
    HWND hwnd() const { return hwnd_; }

    // FrontEnd
    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
    bool AskYesNo(std::string_view text, std::string_view caption) override;
    bool RunCyclesDialog(CCyclesDlg& dialog) override;
    bool RunSaveProtocolDialog(CSaveProtocolDlg& dialog) override;
    bool RunGenerateIniDialog(CGenerateIniDlg& dialog) override;
    bool RunPortDialog(CSelectComPortDlg& dialog) override;
    std::unique_ptr<ProgressView> CreateProgressView(ProgressWindow& window) override;
    void MemberListReset() override;
    void MemberLineAdded(int index) override;
    void MemberLineReplaced(int index) override;
    void ButtonsChanged() override;
    void StatusChanged() override;

  private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Initialise();
    void Command(int id);
    void RunSequence(int id);
    void Close();
    void ShowHelp();
    void ShowAbout();
    void DrawButton(const DRAWITEMSTRUCT& item);
    // The window boxes and dialogs belong to: the one in front if it is ours.
    HWND Owner() const;

    CScanToolDlg tool_;
    HWND hwnd_ = nullptr;
    HWND tooltip_ = nullptr;
    HICON icon_ = nullptr;
    bool modal_ = false;
    int pending_ = 0;  // the button whose sequence is to run or runs; 0: none
    // Up, down, focus, disabled per button (HELP has no disabled picture).
    std::array<std::array<HBITMAP, 4>, 6> bitmaps_{};
};

}  // namespace kvx::scantool::win32
