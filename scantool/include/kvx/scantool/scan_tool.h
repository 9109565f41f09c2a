#pragma once
// The tool's main window without its look: the state it owns (port, request delay, type
// table, scan table, member list, test figures, button states, busy flag) and the sequences
// behind its buttons: scan, test, protocol, INI generation and port selection.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kvx/config/device_description.h"
#include "kvx/platform/system_settings.h"
#include "kvx/scantool/bus_access.h"
#include "kvx/scantool/front_end.h"
#include "kvx/scantool/recent_folders.h"
#include "kvx/scantool/text.h"

namespace kvx::scantool {

using config::ScanIdEntry;

inline constexpr int kMaxAddress = 31;
inline constexpr const char* kDriverIniName = "fenlodrv.ini";

// One device type: one .cfg file of the working directory.
struct MemberType {
    std::int32_t idAddress = 0;  // fetchID desadr
    std::int32_t idBytes = 0;    // fetchID bytes
    std::vector<ScanIdEntry> entries;
    std::string fileName;        // ANSI text, as it is shown and written into files
    std::filesystem::path path;  // the file itself
};

// The scan's result at one bus address, with the figures of the test.
struct MemberEntry {
    bool present = false;
    std::string memberName;
    std::string cfgFileName;        // ANSI text
    std::filesystem::path cfgPath;  // the file of the matched type
    std::int32_t okCount = 0;
    std::int32_t testAddress = 0;
    std::int32_t testBytes = 0;
};

enum class Button { Scan = 0, Test, Report, Generate, Com, Help };

// Outcome of one attempt at a bus address.
enum class ScanOutcome { Found, NoAnswer, Garbled, NoType };

// Result of matching a type against a received block.
struct TypeMatch {
    bool matched = false;
    int entry = -1;  // index of the matched entry in the type
};

// Identification text of an entry as read from the receive area: its bytes up to the first
// zero byte, converted from the OEM to the ANSI code page, blanks removed. Bytes outside the
// area read as blanks.
std::string IdText(std::span<const std::uint8_t> area, std::int32_t readoffset,
                   std::int32_t length);

// Matches type `t` against the receive area after a complete answer.
TypeMatch MatchType(const MemberType& t, std::span<const std::uint8_t> area);

// Everything the core takes from the machine, replaceable for tests.
struct ToolEnvironment {
    std::string title = "linkspy";  // the program's title: captions of boxes without one
    // Current directory; empty = the process's current directory.
    std::filesystem::path currentDirectory;
    // PATH list for finding LINKSPY.INI; unset = the PATH environment variable.
    std::optional<std::string> pathVariable;
    // The Windows directory (/etc on POSIX), the second target of the INI generation.
    std::filesystem::path windowsDirectory = platform::SystemDirectory();
    LocalClock* clock = nullptr;  // nullptr = the machine's clock
    // Names the port selection tries; unset = CandidatePorts().
    std::function<std::vector<std::string>()> portCandidates;
    // The recent working folders; empty = kept for this run only.
    std::filesystem::path recentFoldersFile;
};

class CScanToolDlg {
  public:
    CScanToolDlg(FrontEnd& frontEnd, ToolEnvironment environment = {});

    // Start of the program: reads the port and the request delay from LINKSPY.INI; SCAN, COM
    // and HELP enabled.
    void Start();

    // Button handlers.
    void OnScan();
    void OnTest();
    void OnReport();
    void OnGenerate();
    void OnCom();

    // Switches the working directory as -C does: the process's current directory changes,
    // the folder becomes the most recent one, and LINKSPY.INI is read there as at start (the
    // port unless one was given for this run). The scan and test results go with the old
    // folder's device files: the buttons are as after the start (the folder in use chosen
    // again keeps them, and LINKSPY.INI is not read again). A folder that cannot be
    // entered is reported ("Can´t change to the folder ...") and nothing changes; refused
    // while a scan or test runs.
    bool ChangeDirectory(const std::filesystem::path& folder);

    // Port access check: true when the port opens now; else the warning and false.
    bool PortAccessCheck();
    // A close request: refused while a scan or test runs.
    bool CanClose() const { return !busy_; }

    // Command-line overrides: a port for this run (not stored) and a fixed request delay.
    // False (with a message) for a name that cannot be a port name.
    bool OverridePort(std::string name);
    void OverrideRequestDelay(std::optional<int> delay) { delayOverride_ = delay; }

    // State.
    const std::string& portName() const { return bus_.portName; }
    int requestDelay() const { return requestDelay_; }
    bool busy() const { return busy_; }
    bool enabled(Button b) const { return buttons_[static_cast<std::size_t>(b)]; }
    const std::vector<std::string>& memberList() const { return memberList_; }
    const std::array<MemberEntry, kMaxAddress + 1>& scanTable() const { return scanTable_; }
    const std::vector<MemberType>& types() const { return types_; }
    int foundMembers() const { return foundMembers_; }
    int currentAddress() const { return currentAddress_; }
    const std::string& cycleField() const { return cycleField_; }
    const std::string& elapsedField() const { return elapsedField_; }
    int requestedCycles() const { return requestedCycles_; }
    int completedCycles() const { return completedCycles_; }
    const std::string& startText() const { return startText_; }
    const std::string& endText() const { return endText_; }
    const std::filesystem::path& workingDirectory() const { return workingDirectory_; }
    // The folder the tool works in now (the scan's working directory is the one of the last
    // scan).
    std::filesystem::path currentDirectory() const { return CurrentDirectory(); }
    const RecentFolders& recentFolders() const { return recent_; }
    ToolBus& bus() { return bus_; }

    // Outcomes of the last sequences, for scripts.
    bool lastScanCompleted() const { return lastScanCompleted_; }
    bool lastTestCompleted() const { return lastTestCompleted_; }
    bool lastFileWritten() const { return lastFileWritten_; }
    const std::filesystem::path& lastFilePath() const { return lastFilePath_; }

    // The tool INI file as found now.
    std::optional<std::filesystem::path> LocateToolIni() const;

  private:
    enum class ScanEnd { Completed, Cancelled, PortLost };

    std::filesystem::path CurrentDirectory() const;
    LocalDateTime Now() const;
    void Warn(std::string_view text, std::string_view caption);
    // What a failed save tells, in the words of the file being saved.
    struct SaveFailureTexts {
        std::string notOpened;
        std::string_view notClosed;
        std::string_view notWritten;
    };
    // Writes `text` to lastFilePath_ and tells a failure; true (and lastFileWritten_) when the
    // whole file was written.
    bool SaveLastFile(std::string_view text, const SaveFailureTexts& told);
    void SetButtons(std::initializer_list<Button> buttons, bool on);
    void SetMemberLine(int index, std::string line);
    void AppendMemberLine(std::string line);
    void ClearMemberList();
    bool ListTypes();
    bool LoadTypes();
    ScanEnd ScanProper();
    ScanOutcome Attempt(int address, TypeMatch& match, int& matchedType, bool& portLost);
    bool LoadTestBlocks();
    void StatusUpdate(int extra);
    void TakeTime(bool keepText);
    void PercentageLines();
    void ReadDelay(int fallback, bool restoreOnMissing);
    void LoadRecentFolders();

    FrontEnd& fe_;
    ToolEnvironment env_;
    ToolBus bus_;
    int requestDelay_ = kDelayUnset;
    std::optional<int> delayOverride_;
    std::optional<std::string> portOverride_;
    RecentFolders recent_;
    bool recentLoaded_ = false;
    bool started_ = false;
    bool busy_ = false;
    std::array<bool, 6> buttons_{true, false, false, false, true, true};
    std::vector<std::string> memberList_;
    std::array<MemberEntry, kMaxAddress + 1> scanTable_{};
    std::vector<MemberType> types_;
    std::filesystem::path workingDirectory_;
    int foundMembers_ = 0;
    int currentAddress_ = 0;
    std::array<std::uint8_t, kReceiveAreaSize> receive_{};

    int requestedCycles_ = 0;
    int completedCycles_ = 0;
    TimeOfDay startTime_{};
    TimeOfDay endTime_{};
    std::string startText_;
    std::string endText_;
    std::string cycleField_;
    std::string elapsedField_;

    bool lastScanCompleted_ = false;
    bool lastTestCompleted_ = false;
    bool lastFileWritten_ = false;
    std::filesystem::path lastFilePath_;

    static constexpr int kDelayUnset = 400;
};

}  // namespace kvx::scantool
