#include "kvx/scantool/scan_tool.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>

#include "kvx/config/install_settings.h"
#include "kvx/config/profile_file.h"
#include "kvx/platform/codepage.h"
#include "kvx/platform/file_lookup.h"
#include "kvx/platform/file_name_text.h"
#include "kvx/platform/port_name.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/files.h"
#include "kvx/scantool/ports.h"
#include "kvx/scantool/tool_ini.h"

namespace kvx::scantool {

namespace {
constexpr const char* kIniError = "ZAN LINKSPY INI-ERROR";
constexpr const char* kCfgError = "ZAN LINKSPY CFG-ERROR";
constexpr const char* kFileError = "ZAN LINKSPY FILE-ERROR";

constexpr const char* kIniMissing = "Can\xB4t found the LINKSPY.INI file!";
constexpr const char* kNoAccess = "No access to the COM-Port!\nChange Com-Port";
constexpr const char* kNoSignal = "No defined Signal!";
constexpr const char* kNoCfg = "No .cfg file for this Member!";
constexpr const char* kEmpty = "-----";
constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

std::string PortNameTooLong() {
    return "The port name is longer than " + std::to_string(platform::kMaxPortNameLength) +
           " characters!";
}

// The plug-in keeps only the first characters of a CFG= value: a longer file name is written
// as scanned, but the plug-in will not find that file. Empty when every name fits.
std::string CfgNamesTooLong(const std::vector<IniMember>& members) {
    std::string text;
    for (const auto& m : members) {
        if (m.cfgFileName.size() <= config::kMaxCfgNameChars) continue;
        text += fmt::format(
            "[SLAVE{:02}] CFG={} is longer than the {} characters the plug-in "
            "keeps: it will not find this file!\n",
            m.address, m.cfgFileName, config::kMaxCfgNameChars);
    }
    return text;
}
}  // namespace

// ---- identification -------------------------------------------------------------------

std::string IdText(std::span<const std::uint8_t> area, std::int32_t readoffset,
                   std::int32_t length) {
    const long long first = readoffset;
    const long long count = std::max<std::int32_t>(length, 1);
    const long long areaSize = static_cast<long long>(area.size());
    std::string raw;
    // Bytes outside the area read as blanks, which are removed below anyway.
    for (long long pos = std::max(first, 0LL); pos < first + count && pos < areaSize; ++pos) {
        const auto byte = area[static_cast<std::size_t>(pos)];
        if (byte == 0) break;
        raw += static_cast<char>(byte);
    }
    std::string text = platform::OemToAnsi(raw);
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

TypeMatch MatchType(const MemberType& t, std::span<const std::uint8_t> area) {
    const auto& entries = t.entries;
    if (entries.empty()) return {};
    // Neighbouring entries at one offset are alternatives: one of them has to match.
    std::optional<std::int32_t> shared;
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        if (entries[i].readoffset == entries[i + 1].readoffset) shared = entries[i].readoffset;
    }
    const auto alternatives =
        shared ? std::count_if(entries.begin(), entries.end(),
                               [&](const ScanIdEntry& e) { return e.readoffset == *shared; })
               : 0;
    bool noted = false;
    int remembered = -1;
    long failedAlternatives = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const bool equal = IdText(area, e.readoffset, e.length) == e.idStr;
        if (shared && e.readoffset == *shared) {
            if (equal) {
                noted = true;
                remembered = static_cast<int>(i);
            } else if (++failedAlternatives >= alternatives) {
                return {};
            }
        } else {
            if (!equal) return {};
            noted = true;
        }
    }
    if (!noted) return {};
    return {true, remembered >= 0 ? remembered : static_cast<int>(entries.size()) - 1};
}

// ---- main window ----------------------------------------------------------------------

CScanToolDlg::CScanToolDlg(FrontEnd& frontEnd, ToolEnvironment environment)
    : fe_(frontEnd), env_(std::move(environment)) {
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
    fe_.ButtonsChanged();
    fe_.StatusChanged();
}

bool CScanToolDlg::OverridePort(std::string name) {
    if (name.size() > platform::kMaxPortNameLength) {
        Warn(PortNameTooLong(), kIniError);
        return false;
    }
    bus_.portName = std::move(name);
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
    if (TrialOpen(bus_.portName)) return true;
    Warn(kNoAccess, env_.title);
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
    if (auto ini = LocateToolIni()) {
        lastFilePath_ = *ini;
        lastFileWritten_ = config::WriteProfileString(*ini, "RS232", "COM", bus_.portName);
        if (!lastFileWritten_) {
            Warn("Can\xB4t write " + platform::FileNameToAnsi(*ini) + "!", kIniError);
        }
    } else {
        Warn("Can\xB4t found LINKSPY.ini file!", kIniError);
    }
    fe_.StatusChanged();
}

// ---- scan -----------------------------------------------------------------------------

bool CScanToolDlg::ListTypes() {
    const auto dir = CurrentDirectory();
    if (dir.empty()) return false;
    const auto files = platform::ListFilesWithExtension(dir, ".cfg");
    if (files.empty()) {
        Warn("No *.cfg files in the current directory!", kCfgError);
        return false;
    }
    types_.clear();
    for (const auto& f : files) {
        MemberType t;
        t.fileName = platform::FileNameToAnsi(f.filename());
        t.path = f;
        types_.push_back(std::move(t));
    }
    workingDirectory_ = dir;
    return true;
}

bool CScanToolDlg::LoadTypes() {
    std::string failures = "Failed Loading Cfg-File:\n\n";
    int failed = 0;
    std::string warnings;
    for (auto& t : types_) {
        const auto& path = t.path;
        std::ifstream in(path, std::ios::binary);
        if (!in.is_open()) {
            Warn("CFG-file not found!", kFileError);
            return false;
        }
        auto read = config::ReadToolDeviceType(in, path);
        t.idAddress = read.fetchIdAddress;
        t.idBytes = read.fetchIdBytes;
        t.entries = std::move(read.entries);
        for (const auto& w : read.warnings) warnings += w + "\n";
        if (!read.loaded()) {
            ++failed;
            if (failed <= 5) {
                failures += platform::FileNameToAnsi(path) + "\n";
            } else if (failed == 6) {
                failures += "...";
            }
        }
    }
    if (failed > 0) {
        Warn(failures, kFileError);
        return false;
    }
    if (!warnings.empty()) Warn(warnings, kCfgError);
    return true;
}

void CScanToolDlg::OnScan() {
    busy_ = true;
    lastScanCompleted_ = false;
    SetButtons({Button::Generate, Button::Test, Button::Report, Button::Scan, Button::Com}, false);
    cycleField_.clear();
    elapsedField_.clear();
    fe_.StatusChanged();

    const bool typesReady = ListTypes() && LoadTypes();
    ReadDelay(kDelayBeforeScan, false);

    if (!PortAccessCheck()) {
        OnCom();
    } else if (typesReady) {
        lastScanCompleted_ = ScanProper() == ScanEnd::Completed;
    }
    SetButtons({Button::Scan, Button::Com}, true);
    busy_ = false;
}

ScanOutcome CScanToolDlg::Attempt(int address, TypeMatch& match, int& matchedType, bool& portLost) {
    portLost = false;
    bus_.answerTimeout = AnswerTimeout(requestDelay_, 10);
    receive_.fill(0x20);
    int n = bus_.FetchBlock(receive_, address, 0, 10, 0);
    if (n == -1) {
        portLost = true;
        return ScanOutcome::NoAnswer;
    }
    if (n == 0) return ScanOutcome::NoAnswer;
    if (n != 10 && n != 21) return ScanOutcome::Garbled;

    ScanOutcome outcome = ScanOutcome::NoType;
    for (std::size_t i = 0; i < types_.size(); ++i) {
        const auto& t = types_[i];
        bus_.answerTimeout = AnswerTimeout(requestDelay_, t.idBytes);
        receive_.fill(0x20);
        n = bus_.FetchBlock(receive_, address, t.idAddress, t.idBytes, 0);
        if (n == -1) {
            portLost = true;
            return outcome;
        }
        if (n == 0) return ScanOutcome::Garbled;
        if (n == 10) {
            outcome = ScanOutcome::NoType;
            continue;
        }
        if (n == t.idBytes + 11) {
            const auto m = MatchType(t, receive_);
            if (m.matched) {
                match = m;
                matchedType = static_cast<int>(i);
                return ScanOutcome::Found;
            }
            if (i + 1 == types_.size()) outcome = ScanOutcome::NoType;
            continue;
        }
        outcome = ScanOutcome::Garbled;
    }
    return outcome;
}

CScanToolDlg::ScanEnd CScanToolDlg::ScanProper() {
    CScanProgressDlg progress(fe_, "KVX - Link-Spy Progress -");
    progress.OpenProgress();
    progress.SetProgressRange(0, kMaxAddress + 1);
    progress.SetProgressStep(1);
    ClearMemberList();
    foundMembers_ = 0;
    int noAnswer = 0, garbled = 0, noType = 0;
    currentAddress_ = 0;

    while (currentAddress_ <= kMaxAddress) {
        const int a = currentAddress_;
        if (progress.TakeCancel() && fe_.AskYesNo("Do you really want to break?", env_.title)) {
            return ScanEnd::Cancelled;
        }
        TypeMatch match;
        int matchedType = -1;
        bool portLost = false;
        const ScanOutcome outcome = Attempt(a, match, matchedType, portLost);
        if (portLost) {
            Warn("No access to the COM-Port!\n Change Com-Port", "ZAN KVX-LINKSPY COM-ERROR");
            return ScanEnd::PortLost;
        }

        auto& entry = scanTable_[static_cast<std::size_t>(a)];
        std::string text;
        auto garbledLine = [&] {
            entry.present = false;
            entry.memberName = kNoSignal;
            text = kNoSignal;
        };
        switch (outcome) {
            case ScanOutcome::Found: {
                const auto& t = types_[static_cast<std::size_t>(matchedType)];
                entry.present = true;
                entry.memberName = t.entries[static_cast<std::size_t>(match.entry)].name;
                entry.cfgFileName = t.fileName;
                entry.cfgPath = t.path;
                ++foundMembers_;
                text = entry.memberName + "\t" + entry.cfgFileName;
                break;
            }
            case ScanOutcome::NoAnswer:
                if (noAnswer < 2) {
                    ++noAnswer;
                    continue;
                }
                entry.present = false;
                entry.memberName = kEmpty;
                entry.cfgFileName = kEmpty;
                text = std::string(kEmpty) + "\t" + kEmpty;
                break;
            case ScanOutcome::Garbled:
                if (garbled < 1) {
                    ++garbled;
                    continue;
                }
                garbledLine();
                break;
            case ScanOutcome::NoType:
                if (noType >= 2) {
                    entry.present = false;
                    entry.memberName = kNoCfg;
                    entry.cfgFileName.clear();
                    text = kNoCfg;
                } else if (garbled == 1) {
                    garbledLine();
                } else {
                    ++noType;
                    continue;
                }
                break;
        }
        AppendMemberLine(MemberLinePrefix(a) + text);
        progress.AdvanceProgress();
        noAnswer = garbled = noType = 0;
        ++currentAddress_;
    }
    SetButtons({Button::Generate}, true);
    if (foundMembers_ > 0) SetButtons({Button::Test}, true);
    return ScanEnd::Completed;
}

// ---- test -----------------------------------------------------------------------------

bool CScanToolDlg::LoadTestBlocks() {
    for (auto& e : scanTable_) {
        if (!e.present) continue;
        std::ifstream in(e.cfgPath.empty()
                             ? workingDirectory_ / platform::FileNameFromAnsi(e.cfgFileName)
                             : e.cfgPath,
                         std::ios::binary);
        if (!in.is_open()) {
            Warn("CFG-file not found!", kFileError);
            return false;
        }
        config::ReadToolTestBlock(in, e.testAddress, e.testBytes);
    }
    return true;
}

void CScanToolDlg::TakeTime(bool keepText) {
    const auto now = Now();
    endTime_ = {now.hour, now.minute, now.second};
    if (keepText) endText_ = TimeText(now);
}

void CScanToolDlg::StatusUpdate(int extra) {
    cycleField_ = CycleFieldText(completedCycles_ + extra, requestedCycles_);
    elapsedField_ = ElapsedText(startTime_, endTime_);
    fe_.StatusChanged();
}

void CScanToolDlg::PercentageLines() {
    for (int a = 0; a <= kMaxAddress; ++a) {
        const auto& e = scanTable_[static_cast<std::size_t>(a)];
        if (!e.present) continue;
        SetMemberLine(a, MemberLinePrefix(a) + e.memberName + "\t" + e.cfgFileName + "\t" +
                             TwoDigitCount(e.okCount) + " / " + TwoDigitCount(completedCycles_) +
                             "\t" + PercentText(AnswerPercent(e.okCount, completedCycles_)));
    }
}

void CScanToolDlg::OnTest() {
    busy_ = true;
    lastTestCompleted_ = false;
    ReadDelay(kDelayBeforeTest, true);

    CCyclesDlg cycles(foundMembers_);
    cycles.Open();
    if (!fe_.RunCyclesDialog(cycles)) {
        SetButtons({Button::Generate, Button::Scan, Button::Com}, true);
        busy_ = false;
        return;
    }
    requestedCycles_ = cycles.cycles();
    completedCycles_ = 0;
    StatusUpdate(0);
    SetButtons({Button::Scan, Button::Com, Button::Test, Button::Generate, Button::Report}, false);

    bool failed = false;
    std::optional<CTestProgressDlg> progress;
    if (LoadTestBlocks()) {
        for (auto& e : scanTable_) e.okCount = 0;
        progress.emplace(fe_, "KVX - Bus-Test Progress -");
        progress->OpenProgress();
        progress->SetProgressRange(0, foundMembers_ * requestedCycles_);
        progress->SetProgressStep(1);
        const auto start = Now();
        startTime_ = {start.hour, start.minute, start.second};
        startText_ = TimeText(start);

        while (completedCycles_ < requestedCycles_) {
            const int k = completedCycles_ + 1;
            if (progress->TakeCancel()) {
                TakeTime(true);
                StatusUpdate(1);
                fe_.ShowMessage("Test is canceled", env_.title, MessageIcon::Information);
                break;
            }
            for (int a = 0; a <= kMaxAddress; ++a) {
                auto& e = scanTable_[static_cast<std::size_t>(a)];
                if (!e.present) continue;
                if (!PortAccessCheck()) {
                    failed = true;
                    break;
                }
                bus_.answerTimeout = AnswerTimeout(requestDelay_, e.testBytes);
                const int n = bus_.FetchBlock(receive_, a, e.testAddress, e.testBytes, 0);
                if (n == e.testBytes + 11) ++e.okCount;
                SetMemberLine(a, MemberLinePrefix(a) + e.memberName + "\t" + e.cfgFileName + "\t" +
                                     TwoDigitCount(e.okCount) + " / " + TwoDigitCount(k));
                progress->AdvanceProgress();
                progress->SetCycleText(std::to_string(k));
            }
            TakeTime(false);
            StatusUpdate(1);
            if (failed) {
                Warn("Test failed!\nNo access to COM-Port!", env_.title);
                break;
            }
            ++completedCycles_;
        }
    }

    TakeTime(true);
    StatusUpdate(0);
    SetButtons({Button::Test}, true);
    // Without a completed cycle there is no share to show and nothing to report.
    if (!failed && completedCycles_ > 0) {
        SetButtons({Button::Report}, true);
        PercentageLines();
    }
    SetButtons({Button::Generate, Button::Scan, Button::Com}, true);
    busy_ = false;
    progress.reset();
    lastTestCompleted_ = !failed && completedCycles_ == requestedCycles_;
}

// ---- protocol -------------------------------------------------------------------------

namespace {
SaveResult Save(const std::filesystem::path& path, std::string_view text) {
    return SaveFileAtomically(path, WithCrLf(text));
}
}  // namespace

void CScanToolDlg::OnReport() {
    lastFileWritten_ = false;
    const auto dir = CurrentDirectory();
    CSaveProtocolDlg dialog(platform::FileNameToAnsi(dir), kSeparator);
    dialog.Open();
    const bool ok = fe_.RunSaveProtocolDialog(dialog);
    if (dialog.outcome() == CSaveProtocolDlg::Outcome::ExtensionError) {
        Warn("Extension Error", kFileError);
        return;
    }
    if (dialog.outcome() == CSaveProtocolDlg::Outcome::NotAFileName) {
        Warn(dialog.fileName() + " is no file name in the current directory!", kFileError);
        return;
    }
    if (!ok || dialog.outcome() != CSaveProtocolDlg::Outcome::Ok || dialog.fileName().empty())
        return;

    ProtocolData data;
    data.comment = dialog.comment();
    data.dateText = DateText(Now());
    data.startText = startText_;
    data.endText = endText_;
    data.memberLines = memberList_;
    data.maxAddress = kMaxAddress;
    data.elapsedText = elapsedField_;
    data.requestDelay = requestDelay_;
    const std::string text = dialog.fileType() == 0 ? TextProtocol(data) : TableProtocol(data);

    // The name is ANSI text like the comment it may follow; the file system has its own.
    lastFilePath_ = dir / platform::FileNameFromAnsi(dialog.fileName());
    switch (Save(lastFilePath_, text)) {
        case SaveResult::Ok:
            lastFileWritten_ = true;
            break;
        case SaveResult::OpenFailed:
            Warn(dialog.fileName() + " was not opened!", kFileError);
            break;
        case SaveResult::CloseFailed:
            Warn(".txt-file was not closed!", kFileError);
            Warn("Can\xB4t write Protokoll!", kFileError);
            break;
        case SaveResult::WriteFailed:
            Warn("Can\xB4t write Protokoll!", kFileError);
            break;
    }
}

// ---- driver INI -----------------------------------------------------------------------

void CScanToolDlg::OnGenerate() {
    lastFileWritten_ = false;
    CGenerateIniDlg dialog(CurrentDirectory(), env_.windowsDirectory, kDriverIniName);
    dialog.Open();
    if (!fe_.RunGenerateIniDialog(dialog)) return;
    const std::string port = dialog.changePort() ? dialog.chosenPort() : bus_.portName;
    if (port.size() > platform::kMaxPortNameLength) {
        Warn(PortNameTooLong(), kFileError);
        return;
    }
    std::vector<IniMember> members;
    for (int a = 0; a <= kMaxAddress; ++a) {
        const auto& e = scanTable_[static_cast<std::size_t>(a)];
        if (e.present) members.push_back({a, e.cfgFileName, e.memberName});
    }
    const auto now = Now();
    const std::string text =
        DriverIniText(DateText(now), TimeText(now), port, kMaxAddress, members);
    lastFilePath_ = dialog.targetPath();
    switch (Save(lastFilePath_, text)) {
        case SaveResult::Ok:
            lastFileWritten_ = true;
            if (const auto text = CfgNamesTooLong(members); !text.empty()) Warn(text, kCfgError);
            break;
        case SaveResult::OpenFailed:
            Warn("fenlodrv.ini-file not found!", kFileError);
            break;
        case SaveResult::CloseFailed:
            Warn("fenlodrv.ini-file was not closed!", kFileError);
            Warn("Can\xB4t write .ini file!", kFileError);
            break;
        case SaveResult::WriteFailed:
            Warn("Can\xB4t write .ini file!", kFileError);
            break;
    }
}

}  // namespace kvx::scantool
