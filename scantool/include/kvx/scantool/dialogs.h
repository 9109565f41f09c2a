#pragma once
// The value logic of the tool's modal dialogs: the cycles dialog with its estimate, the save
// protocol dialog with its file-name rules, the generate dialog with its two target paths and
// its port choice, and the port selection dialog with its list of openable ports. A front end
// shows the fields and calls the operations for the user's actions.

#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::scantool {

class FrontEnd;

class CCyclesDlg {
  public:
    static constexpr int kMinCycles = 10;
    static constexpr int kMaxCycles = 10000;
    static constexpr double kSecondsPerMemberCycle = 0.5;

    explicit CCyclesDlg(int memberCount) : memberCount_(memberCount) {}

    // Trackbar at its minimum, fields shown.
    void Open();
    // The trackbar moved (kept within its range).
    void SetPosition(int position);
    // The number field was edited: its leading decimal digits become the position.
    void SetNumberText(std::string_view text);

    int cycles() const { return position_; }
    std::string numberText() const { return std::to_string(position_); }
    int estimateSeconds() const;
    std::string estimateText() const;
    std::string minLabel() const { return std::to_string(kMinCycles); }
    std::string maxLabel() const { return std::to_string(kMaxCycles); }

  private:
    int memberCount_;
    int position_ = kMinCycles;
};

class CSaveProtocolDlg {
  public:
    static constexpr std::size_t kCommentLimit = 250;
    static constexpr std::size_t kFollowLimit = 36;
    enum class Outcome { None, Ok, Cancelled, ExtensionError, NotAFileName };

    // `directory` is the current directory's text without a trailing separator.
    CSaveProtocolDlg(std::string directory, char separator);

    // Second type entry (.xls) selected, file name follows the comment.
    void Open();
    // The comment text changed (kept to its limit).
    void SetComment(std::string comment);
    // "Change": the file name becomes editable and stops following the comment.
    void PressChange();
    // The file name field edited (only while editable).
    void SetFileName(std::string name);
    // The type list folded up with entry `entry` selected (-1: no entry, typed text).
    void CloseTypeList(int entry);
    // OK: applies the file-name rules and settles the outcome.
    Outcome PressOk();

    const std::string& directory() const { return directory_; }  // ends in the separator
    const std::string& directoryDisplay() const { return display_; }
    const std::string& comment() const { return comment_; }
    const std::string& fileName() const { return fileName_; }
    const std::string& extension() const { return extension_; }
    int fileType() const { return fileType_; }  // 0 = .txt layout, 1 = .xls layout
    bool follows() const { return follow_; }
    bool fileNameEditable() const { return editable_; }
    Outcome outcome() const { return outcome_; }
    static const std::array<const char*, 2> kTypeEntries;

  private:
    std::string directory_;
    std::string display_;
    std::string comment_;
    std::string fileName_;
    std::string extension_ = ".xls";
    int fileType_ = 1;
    bool follow_ = true;
    bool editable_ = false;
    Outcome outcome_ = Outcome::None;
};

class CGenerateIniDlg {
  public:
    static const std::array<const char*, 8> kPortEntries;  // "COM1" .. "COM8"

    CGenerateIniDlg(const std::filesystem::path& currentDirectory,
                    const std::filesystem::path& windowsDirectory, std::string fileName);

    void Open();
    void ChooseCurrentDirectory() { targetPath_ = currentPath_; }
    void ChooseWindowsDirectory() { targetPath_ = windowsPath_; }
    void SelectSamePort();
    void SelectChangePort();
    // The combo box text (selected entry or typed).
    void SetPortText(std::string text) { portText_ = std::move(text); }
    void PressOk() { chosenPort_ = portText_; }

    const std::filesystem::path& targetPath() const { return targetPath_; }
    const std::filesystem::path& currentDirectoryPath() const { return currentPath_; }
    const std::filesystem::path& windowsDirectoryPath() const { return windowsPath_; }
    const std::string& currentDirectoryDisplay() const { return display_; }
    bool changePort() const { return changePort_; }
    bool portListVisible() const { return changePort_; }
    const std::string& portText() const { return portText_; }
    const std::string& chosenPort() const { return chosenPort_; }

  private:
    std::filesystem::path currentPath_;
    std::filesystem::path windowsPath_;
    std::filesystem::path targetPath_;
    std::string display_;
    bool changePort_ = false;
    std::string portText_;
    std::string chosenPort_;
};

// Port selection: the openable ports, a Test button for the selected one, and the chosen name.
class CSelectComPortDlg {
  public:
    using Lister = std::function<std::vector<std::string>()>;

    // `openablePorts` gives the names that can be opened right now.
    CSelectComPortDlg(std::string currentPort, Lister openablePorts);

    // Fills the list and selects its first entry; with no entry the edit text is empty. A
    // current port that is no COMn name (a device path) stays shown, selected when listed.
    void Open();
    void Select(int index);
    void SetEditText(std::string text) { editText_ = std::move(text); }
    // Trial-opens the port shown (the edit text) and shows the outcome, with the reason of a
    // refused permission; true when it opened.
    bool PressTest(FrontEnd& frontEnd) const;
    void PressOk() { chosenName_ = editText_; }

    const std::vector<std::string>& entries() const { return entries_; }
    int selected() const { return selected_; }
    const std::string& editText() const { return editText_; }
    const std::string& chosenName() const { return chosenName_; }

  private:
    Lister lister_;
    std::vector<std::string> entries_;
    int selected_ = -1;
    std::string editText_;
    std::string chosenName_;
};

}  // namespace kvx::scantool
