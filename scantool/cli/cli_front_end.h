#pragma once
// The terminal behind the tool's core: messages on standard error as "CAPTION: TEXT", the
// dialogs answered from the command line, a progress bar on standard error when it is a
// terminal, and Ctrl-C or SIGTERM as the Cancel button.

#include <functional>
#include <optional>
#include <string>

#include "kvx/platform/console.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/front_end.h"

namespace kvx::scantool::cli {

// What the command line settles for the dialogs.
struct DialogAnswers {
    std::optional<int> cycles;
    // Save protocol.
    std::string comment;
    int fileType = 1;  // 0 .txt, 1 .xls
    std::optional<std::string> fileName;
    // Generate.
    bool systemDirectory = false;
    std::optional<std::string> iniPort;
    // Port selection ("port set NAME").
    std::optional<std::string> portChoice;
};

class CliFrontEnd final : public FrontEnd {
  public:
    explicit CliFrontEnd(DialogAnswers answers);

    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
    bool AskYesNo(std::string_view text, std::string_view caption) override;
    bool RunCyclesDialog(CCyclesDlg& dialog) override;
    bool RunSaveProtocolDialog(CSaveProtocolDlg& dialog) override;
    bool RunGenerateIniDialog(CGenerateIniDlg& dialog) override;
    bool RunPortDialog(CSelectComPortDlg& dialog) override;
    std::unique_ptr<ProgressView> CreateProgressView(ProgressWindow& window) override;

    int TakeStopRequests() override;
    void StopRequestsSettled() override;

    // The scan's current address, shown next to the percentage.
    void SetAddressSource(std::function<int()> address) { address_ = std::move(address); }
    // Ctrl-C and SIGTERM are the Cancel button while a progress window is open; a second
    // request before the first was acted on ends the program at once. Without a window they
    // end the program (a file being written is finished first).
    void ArmInterrupts() { interrupts_.emplace(); }
    void DisarmInterrupts() { interrupts_.reset(); }
    // Erases a progress line before other output goes to the terminal.
    void ClearProgressLine();
    void SetProgressLineShown(bool shown) { progressShown_ = shown; }
    const std::function<int()>& address() const { return address_; }

  private:
    DialogAnswers answers_;
    std::optional<platform::InterruptCounter> interrupts_;
    std::function<int()> address_;
    bool stderrIsTerminal_;
    bool stdinIsTerminal_;
    bool progressShown_ = false;
};

// Terminal text (UTF-8) of an ANSI text as the tool keeps it.
std::string ForTerminal(std::string_view ansi);

}  // namespace kvx::scantool::cli
