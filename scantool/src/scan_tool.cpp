#include "kvx/scantool/scan_tool.h"

#include <cstdlib>
#include <system_error>

#include "kvx/config/profile_file.h"
#include "kvx/platform/console.h"
#include "kvx/platform/file_name_text.h"
#include "kvx/platform/port_name.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/files.h"
#include "kvx/scantool/ports.h"
#include "kvx/scantool/tool_ini.h"
#include "tool_texts.h"

namespace kvx::scantool {

using namespace texts;

// ---- main window ----------------------------------------------------------------------

CScanToolDlg::CScanToolDlg(FrontEnd& frontEnd, ToolEnvironment environment)
    : fe_(frontEnd), env_(std::move(environment)), recent_(env_.recentFoldersFile) {
    bus_.SetMessageSink([this](std::string_view text, std::string_view caption) {
        fe_.ShowMessage(text, caption, MessageIcon::Warning);
    });
}

std::filesystem::path CScanToolDlg::CurrentDirectory() const {
    if (!env_.currentDirectory.empty()) return env_.currentDirectory;
    std::error_code ec;
    auto dir = std::filesystem::current_path(ec);
    return ec ? std::filesystem::path{} : dir;
}

LocalDateTime CScanToolDlg::Now() const {
    return env_.clock ? env_.clock->Now() : SystemLocalClock().Now();
}

std::optional<std::filesystem::path> CScanToolDlg::LocateToolIni() const {
    std::string pathVariable;
    if (env_.pathVariable) {
        pathVariable = *env_.pathVariable;
    } else if (const char* p = std::getenv("PATH")) {
        pathVariable = p;
    }
    return scantool::LocateToolIni(kToolIniName, CurrentDirectory(), pathVariable);
}

void CScanToolDlg::Warn(std::string_view text, std::string_view caption) {
    fe_.ShowMessage(text, caption, MessageIcon::Warning);
}

bool CScanToolDlg::SaveLastFile(std::string_view text, const SaveFailureTexts& told) {
    switch (SaveWithCrLf(lastFilePath_, text)) {
        case SaveResult::Ok:
            lastFileWritten_ = true;
            return true;
        case SaveResult::OpenFailed:
            Warn(told.notOpened, kFileError);
            break;
        case SaveResult::CloseFailed:
            Warn(told.notClosed, kFileError);
            Warn(told.notWritten, kFileError);
            break;
        case SaveResult::WriteFailed:
            Warn(told.notWritten, kFileError);
            break;
    }
    return false;
}

void CScanToolDlg::SetButtons(std::initializer_list<Button> buttons, bool on) {
    for (Button b : buttons) buttons_[static_cast<std::size_t>(b)] = on;
    buttons_[static_cast<std::size_t>(Button::Help)] = true;
    fe_.ButtonsChanged();
}

void CScanToolDlg::ClearMemberList() {
    memberList_.clear();
    fe_.MemberListReset();
}

void CScanToolDlg::AppendMemberLine(std::string line) {
    memberList_.push_back(std::move(line));
    fe_.MemberLineAdded(static_cast<int>(memberList_.size()) - 1);
}

void CScanToolDlg::SetMemberLine(int index, std::string line) {
    if (index < 0) return;
    if (static_cast<std::size_t>(index) >= memberList_.size()) {
        // The list always holds every address after a completed scan; keep the index rule
        // even if it does not.
        while (static_cast<std::size_t>(index) > memberList_.size()) AppendMemberLine({});
        AppendMemberLine(std::move(line));
        return;
    }
    memberList_[static_cast<std::size_t>(index)] = std::move(line);
    fe_.MemberLineReplaced(index);
}

void CScanToolDlg::Start() {
    buttons_ = {true, false, false, false, true, true};
    busy_ = false;
    started_ = true;
    LoadRecentFolders();
    if (auto ini = LocateToolIni()) {
        std::string port = config::GetProfileString(*ini, "RS232", "COM", "COM1");
        if (port.size() > platform::kMaxPortNameLength) {
            Warn(PortNameTooLong() + "\n" + platform::FileNameToAnsi(*ini), kIniError);
        } else {
            bus_.portName = std::move(port);
        }
        requestDelay_ = config::GetProfileInt(*ini, "Timeout", "Time", kDelayAtStart);
    } else {
        Warn(kIniMissing, kIniError);
    }
    if (delayOverride_) requestDelay_ = *delayOverride_;
    if (portOverride_) bus_.portName = *portOverride_;
    fe_.ButtonsChanged();
    fe_.StatusChanged();
}

void CScanToolDlg::LoadRecentFolders() {
    if (recentLoaded_) return;
    recentLoaded_ = true;
    if (const auto problems = recent_.Load(); !problems.empty()) Warn(problems, kFolderError);
}

bool CScanToolDlg::ChangeDirectory(const std::filesystem::path& folder) {
    if (busy_) return false;
    LoadRecentFolders();
    std::error_code ec;
    // Relative to the folder the tool is in now, as -C is to the one it was started in.
    std::filesystem::path target = folder.is_absolute() ? folder : CurrentDirectory() / folder;
    target = std::filesystem::canonical(target, ec);
    if (!ec) {
        const bool isFolder = std::filesystem::is_directory(target, ec);
        if (!ec && !isFolder) ec = std::make_error_code(std::errc::not_a_directory);
    }
    if (!ec) std::filesystem::current_path(target, ec);
    if (ec) {
        Warn("Can\xB4t change to the folder " + platform::FileNameToAnsi(folder) + "!\n" +
                 ec.message(),
             kFolderError);
        return false;
    }
    std::error_code unknown;
    const bool same = started_ && std::filesystem::equivalent(target, CurrentDirectory(), unknown);
    env_.currentDirectory = target;
    if (!recent_.Add(target)) {
        Warn("Can\xB4t write " + platform::FileNameToAnsi(recent_.file()) + "!", kFolderError);
    }
    // The folder in use again: its results stay, as with the port in use chosen again.
    if (same) {
        fe_.StatusChanged();
        return true;
    }
    // The results belong to the device files of the old folder.
    ClearMemberList();
    scanTable_ = {};
    types_.clear();
    workingDirectory_.clear();
    foundMembers_ = 0;
    cycleField_.clear();
    elapsedField_.clear();
    Start();
    return true;
}

bool CScanToolDlg::OverridePort(std::string name) {
    if (name.size() > platform::kMaxPortNameLength) {
        Warn(PortNameTooLong(), kIniError);
        return false;
    }
    bus_.portName = name;
    portOverride_ = std::move(name);
    fe_.StatusChanged();
    return true;
}

void CScanToolDlg::ReadDelay(int fallback, bool keepOnMissing) {
    if (auto ini = LocateToolIni()) {
        requestDelay_ = config::GetProfileInt(*ini, "Timeout", "Time", fallback);
    } else {
        if (!keepOnMissing) requestDelay_ = fallback;
        Warn(kIniMissing, kIniError);
    }
    if (delayOverride_) requestDelay_ = *delayOverride_;
}

bool CScanToolDlg::PortAccessCheck() {
    std::string refusal;
    if (TrialOpen(bus_.portName, refusal)) return true;
    Warn(NoAccessText(bus_.portName, refusal), env_.title);
    return false;
}

// ---- port selection -------------------------------------------------------------------

void CScanToolDlg::OnCom() {
    lastFileWritten_ = false;
    auto candidates = env_.portCandidates;
    CSelectComPortDlg dialog(bus_.portName, [candidates]() {
        return OpenablePorts(candidates ? candidates() : CandidatePorts());
    });
    dialog.Open();
    if (!fe_.RunPortDialog(dialog)) return;
    const std::string& chosen = dialog.chosenName();
    // Names are held whole; one that cannot be a port name changes nothing.
    if (chosen.size() > platform::kMaxPortNameLength) {
        Warn(PortNameTooLong(), kIniError);
        return;
    }
    if (chosen != bus_.portName) {
        SetButtons({Button::Test, Button::Report, Button::Generate}, false);
        ClearMemberList();
    }
    bus_.portName = chosen;
    portOverride_.reset();  // the chosen port outlasts a switch of the folder
    if (auto ini = LocateToolIni()) {
        lastFilePath_ = *ini;
        {
            // A request to end the program waits until the file is written whole.
            const platform::TerminationHold hold;
            lastFileWritten_ = config::WriteProfileString(*ini, "RS232", "COM", bus_.portName);
        }
        if (!lastFileWritten_) {
            Warn("Can\xB4t write " + platform::FileNameToAnsi(*ini) + "!", kIniError);
        }
    } else {
        Warn("Can\xB4t found LINKSPY.ini file!", kIniError);
    }
    fe_.StatusChanged();
}

}  // namespace kvx::scantool
