// The bus scan: the device types of the working directory, the identification of each bus
// address and the member list that results.

#include <algorithm>
#include <fstream>
#include <optional>

#include "kvx/config/device_description.h"
#include "kvx/platform/codepage.h"
#include "kvx/platform/file_lookup.h"
#include "kvx/platform/file_name_text.h"
#include "kvx/scantool/progress.h"
#include "kvx/scantool/scan_tool.h"
#include "kvx/scantool/tool_ini.h"
#include "tool_texts.h"

namespace kvx::scantool {

using namespace texts;

namespace {
constexpr const char* kNoSignal = "No defined Signal!";
constexpr const char* kNoCfg = "No .cfg file for this Member!";
constexpr const char* kEmpty = "-----";
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
    fe_.StopRequestsSettled();
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
        if (progress.TakeCancel()) {
            const bool stop = fe_.AskYesNo("Do you really want to break?", env_.title);
            fe_.StopRequestsSettled();
            if (stop) return ScanEnd::Cancelled;
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

}  // namespace kvx::scantool
