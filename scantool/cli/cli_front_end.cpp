#include "cli_front_end.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "kvx/platform/codepage.h"

namespace kvx::scantool::cli {

std::string ForTerminal(std::string_view ansi) {
    return platform::AnsiToUtf8(ansi);
}

namespace {

class CliProgressView final : public ProgressView {
  public:
    CliProgressView(CliFrontEnd& frontEnd, bool drawn) : fe_(frontEnd), drawn_(drawn) {
        fe_.ArmInterrupts();
    }
    ~CliProgressView() override {
        fe_.DisarmInterrupts();
        fe_.ClearProgressLine();
    }

    // Nothing waits on a terminal; Ctrl-C reaches the window through TakeStopRequests.
    void Pump(ProgressWindow&) override {}

    void Update(const ProgressWindow& window) override {
        if (!drawn_) return;
        constexpr int kWidth = 32;
        const long long span =
            std::max(1LL, static_cast<long long>(window.upper()) - window.lower());
        const long long done = std::clamp<long long>(
            (static_cast<long long>(window.position()) - window.lower()) * kWidth / span, 0,
            kWidth);
        const std::string bar = std::string(static_cast<std::size_t>(done), '#') +
                                std::string(static_cast<std::size_t>(kWidth - done), '.');
        std::string line;
        if (window.kind() == ProgressKind::Scan) {
            line = fmt::format("\r{} [{}] {:>4}", window.caption(), bar, window.percentText());
            if (fe_.address()) line += fmt::format("  Adr. {:02}", fe_.address()());
        } else {
            line = fmt::format("\r{} [{}] Cycle: {}", window.caption(), bar, window.cycleText());
        }
        if (window.cancelPending()) line += "  " + window.cancelNotice();
        std::fputs((line + "\x1b[K").c_str(), stderr);
        std::fflush(stderr);
        fe_.SetProgressLineShown(true);
    }

  private:
    CliFrontEnd& fe_;
    bool drawn_;
};

bool ReadLine(std::string& line) {
    return static_cast<bool>(std::getline(std::cin, line));
}

}  // namespace

CliFrontEnd::CliFrontEnd(DialogAnswers answers)
    : answers_(std::move(answers)),
      stderrIsTerminal_(platform::IsTerminal(platform::StandardStream::Error)),
      stdinIsTerminal_(platform::IsTerminal(platform::StandardStream::Input)) {}

void CliFrontEnd::ClearProgressLine() {
    if (!progressShown_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    progressShown_ = false;
}

void CliFrontEnd::ShowMessage(std::string_view text, std::string_view caption, MessageIcon) {
    ClearProgressLine();
    std::fputs(fmt::format("{}: {}\n", ForTerminal(caption), ForTerminal(text)).c_str(), stderr);
    std::fflush(stderr);
}

bool CliFrontEnd::AskYesNo(std::string_view text, std::string_view caption) {
    // Without a terminal to answer on, the question counts as confirmed.
    if (!stdinIsTerminal_) return true;
    ClearProgressLine();
    for (;;) {
        std::fputs(fmt::format("{}: {} [y/n] ", ForTerminal(caption), ForTerminal(text)).c_str(),
                   stderr);
        std::fflush(stderr);
        std::string line;
        const bool read = ReadLine(line);
        const bool yes = line == "y" || line == "Y" || line == "yes" || line == "Yes";
        const bool no = line == "n" || line == "N" || line == "no" || line == "No";
        if (!read || yes || no) return !no;
    }
}

bool CliFrontEnd::RunCyclesDialog(CCyclesDlg& dialog) {
    if (!answers_.cycles) return false;
    dialog.SetNumberText(std::to_string(*answers_.cycles));
    return true;
}

bool CliFrontEnd::RunSaveProtocolDialog(CSaveProtocolDlg& dialog) {
    // Enter the comment as if typed, so the file name follows it as far as it does in the
    // dialog: up to the first line break or ".", or its first 36 characters.
    for (std::size_t n = 1; n <= answers_.comment.size(); ++n) {
        dialog.SetComment(answers_.comment.substr(0, n));
    }
    dialog.CloseTypeList(answers_.fileType);
    if (answers_.fileName) {
        dialog.PressChange();
        dialog.SetFileName(*answers_.fileName);
    }
    return dialog.PressOk() == CSaveProtocolDlg::Outcome::Ok;
}

bool CliFrontEnd::RunGenerateIniDialog(CGenerateIniDlg& dialog) {
    if (answers_.systemDirectory) dialog.ChooseWindowsDirectory();
    if (answers_.iniPort) {
        dialog.SelectChangePort();
        dialog.SetPortText(*answers_.iniPort);
    }
    dialog.PressOk();
    return true;
}

bool CliFrontEnd::RunPortDialog(CSelectComPortDlg& dialog) {
    if (answers_.portChoice) {
        dialog.SetEditText(*answers_.portChoice);
        dialog.PressOk();
        return true;
    }
    ClearProgressLine();
    std::string list;
    for (const auto& name : dialog.entries()) list += (list.empty() ? "" : ", ") + name;
    std::fputs(fmt::format("Openable ports: {}\n", list.empty() ? "none" : list).c_str(), stderr);
    if (!stdinIsTerminal_) return false;
    std::fputs(fmt::format("Port [{}] (\"-\" = Cancel): ", dialog.editText()).c_str(), stderr);
    std::fflush(stderr);
    std::string line;
    if (!ReadLine(line) || line == "-") return false;
    if (!line.empty()) dialog.SetEditText(line);
    dialog.PressOk();
    return true;
}

int CliFrontEnd::TakeStopRequests() {
    return interrupts_ ? interrupts_->Take() : 0;
}

void CliFrontEnd::StopRequestsSettled() {
    if (interrupts_) interrupts_->Settle();
}

std::unique_ptr<ProgressView> CliFrontEnd::CreateProgressView(ProgressWindow&) {
    return std::make_unique<CliProgressView>(*this, stderrIsTerminal_);
}

}  // namespace kvx::scantool::cli
