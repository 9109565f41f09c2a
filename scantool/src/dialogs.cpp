#include "kvx/scantool/dialogs.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "kvx/platform/file_name_text.h"
#include "kvx/scantool/front_end.h"
#include "kvx/scantool/ports.h"
#include "kvx/scantool/text.h"

namespace kvx::scantool {

// ---- cycles ---------------------------------------------------------------------------

void CCyclesDlg::Open() {
    position_ = kMinCycles;
}

void CCyclesDlg::SetPosition(int position) {
    position_ = std::clamp(position, kMinCycles, kMaxCycles);
}

void CCyclesDlg::SetNumberText(std::string_view text) {
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<long long>(value * 10 + (c - '0'), kMaxCycles + 1);
    }
    SetPosition(static_cast<int>(value));
}

int CCyclesDlg::estimateSeconds() const {
    return static_cast<int>(
        std::trunc(position_ * static_cast<double>(memberCount_) * kSecondsPerMemberCycle));
}

std::string CCyclesDlg::estimateText() const {
    return DurationEstimateText(estimateSeconds());
}

// ---- save protocol --------------------------------------------------------------------

const std::array<const char*, 2> CSaveProtocolDlg::kTypeEntries = {"Text-Datei ( .txt)",
                                                                   "Exel-Tabellenblatt ( .xls)"};

CSaveProtocolDlg::CSaveProtocolDlg(std::string directory, char separator)
    : directory_(directory + separator), display_(DirectoryDisplay(directory, separator)) {}

void CSaveProtocolDlg::Open() {
    extension_ = ".xls";
    fileType_ = 1;
    follow_ = true;
    editable_ = false;
}

void CSaveProtocolDlg::SetComment(std::string comment) {
    if (comment.size() > kCommentLimit) comment.resize(kCommentLimit);
    comment_ = std::move(comment);
    if (follow_ && comment_.size() <= kFollowLimit && comment_.find('\n') == std::string::npos &&
        comment_.find('\r') == std::string::npos && comment_.find('.') == std::string::npos) {
        fileName_ = comment_ + extension_;
    }
}

void CSaveProtocolDlg::PressChange() {
    editable_ = true;
    follow_ = false;
}

void CSaveProtocolDlg::SetFileName(std::string name) {
    if (editable_) fileName_ = std::move(name);
}

void CSaveProtocolDlg::CloseTypeList(int entry) {
    if (entry == 0) {
        extension_ = ".txt";
        fileType_ = 0;
    } else {
        extension_ = ".xls";
        fileType_ = 1;
    }
    if (!fileName_.empty()) {
        auto dot = fileName_.find('.');
        if (dot != std::string::npos) fileName_.erase(dot, 4);
        fileName_ += extension_;
    }
}

CSaveProtocolDlg::Outcome CSaveProtocolDlg::PressOk() {
    if (fileName_.empty() || fileName_ == ".txt" || fileName_ == ".xls") {
        return outcome_ = Outcome::Cancelled;
    }
    // The protocol always goes into the current directory: a name that leads elsewhere is no
    // file name of it.
    if (fileName_.find('/') != std::string::npos || fileName_.find('\\') != std::string::npos ||
        fileName_.find('\0') != std::string::npos || fileName_ == "." || fileName_ == "..") {
        return outcome_ = Outcome::NotAFileName;
    }
    if (fileName_.find('.') == std::string::npos) fileName_ += extension_;
    const auto dot = fileName_.find('.');
    if (dot + 4 == fileName_.size()) return outcome_ = Outcome::Ok;
    return outcome_ = Outcome::ExtensionError;
}

// ---- generate -------------------------------------------------------------------------

const std::array<const char*, 8> CGenerateIniDlg::kPortEntries = {"COM1", "COM2", "COM3", "COM4",
                                                                  "COM5", "COM6", "COM7", "COM8"};

CGenerateIniDlg::CGenerateIniDlg(const std::filesystem::path& currentDirectory,
                                 const std::filesystem::path& windowsDirectory,
                                 std::string fileName)
    : currentPath_(currentDirectory / fileName),
      windowsPath_(windowsDirectory / fileName),
      targetPath_(currentPath_) {
    const char separator = static_cast<char>(std::filesystem::path::preferred_separator);
    display_ = DirectoryDisplay(platform::FileNameToAnsi(currentDirectory), separator) + fileName;
}

void CGenerateIniDlg::Open() {
    portText_ = kPortEntries[0];
    changePort_ = false;
    targetPath_ = currentPath_;
}

void CGenerateIniDlg::SelectSamePort() {
    changePort_ = false;
}
void CGenerateIniDlg::SelectChangePort() {
    changePort_ = true;
}

// ---- port selection -------------------------------------------------------------------

namespace {
// "COM" and a number, in any letter case: the names the list offers first.
bool IsComName(const std::string& name) {
    if (name.size() < 4) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    }
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}
}  // namespace

CSelectComPortDlg::CSelectComPortDlg(std::string currentPort, Lister openablePorts)
    : lister_(std::move(openablePorts)),
      editText_(currentPort),
      chosenName_(std::move(currentPort)) {}

void CSelectComPortDlg::Open() {
    const std::string current = chosenName_;
    entries_ = lister_ ? lister_() : std::vector<std::string>{};
    editText_.clear();
    selected_ = -1;
    // A device path or adapter name was chosen on purpose: it stays shown (and stays the
    // choice on OK) even when it does not open now. A COMn name gives way to the first
    // openable port.
    if (!current.empty() && !IsComName(current)) {
        const auto it = std::find(entries_.begin(), entries_.end(), current);
        if (it != entries_.end()) {
            Select(static_cast<int>(it - entries_.begin()));
        } else {
            editText_ = current;
        }
        return;
    }
    if (!entries_.empty()) Select(0);
}

void CSelectComPortDlg::Select(int index) {
    if (index < 0 || index >= static_cast<int>(entries_.size())) return;
    selected_ = index;
    editText_ = entries_[static_cast<std::size_t>(index)];
}

bool CSelectComPortDlg::PressTest(FrontEnd& frontEnd) const {
    // The port shown is the one tried, typed or selected; with none there is nothing that
    // could have been opened.
    std::string refusal;
    const bool ok = !editText_.empty() && TrialOpen(editText_, refusal);
    if (ok) {
        frontEnd.ShowMessage("Test OK!", "ZAN LINKSPY COM-TEST", MessageIcon::Information);
    } else {
        frontEnd.ShowMessage(NoAccessText(editText_, refusal), "ZAN LINKSPY COM-TEST-ERROR",
                             MessageIcon::Warning);
    }
    return ok;
}

}  // namespace kvx::scantool
