#include "kvx/scantool/recent_folders.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "kvx/platform/file_name_text.h"
#include "kvx/scantool/files.h"

namespace kvx::scantool {

std::string RecentFolders::Load() {
    folders_.clear();
    if (file_.empty()) return {};
    std::ifstream in(file_, std::ios::binary);
    std::string problems;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::filesystem::path folder(line);
        if (!folder.is_absolute()) {
            problems += platform::FileNameToAnsi(file_) + " line " + std::to_string(number) +
                        ": no absolute folder path, left out\n";
            continue;
        }
        if (folders_.size() < kMaxFolders &&
            std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) {
            folders_.push_back(folder);
        }
    }
    return problems;
}

bool RecentFolders::Add(const std::filesystem::path& folder) {
    folders_.erase(std::remove(folders_.begin(), folders_.end(), folder), folders_.end());
    folders_.insert(folders_.begin(), folder);
    if (folders_.size() > kMaxFolders) folders_.resize(kMaxFolders);
    if (file_.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    std::string text;
    for (const auto& f : folders_) {
        // A name with a line break cannot be a line of the file: kept for this run only.
        if (f.string().find_first_of("\r\n") == std::string::npos) text += f.string() + "\n";
    }
    return SaveFileAtomically(file_, text) == SaveResult::Ok;
}

}  // namespace kvx::scantool
