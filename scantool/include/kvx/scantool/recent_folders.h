#pragma once
// The working folders the tool was switched to last, most recent first, kept in a text file
// of the user's (one absolute path a line, in the file system's own spelling) so that they
// can be chosen again in a later run.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace kvx::scantool {

class RecentFolders {
  public:
    static constexpr std::size_t kMaxFolders = 8;

    // `file` empty: the folders are kept for this run only.
    explicit RecentFolders(std::filesystem::path file = {}) : file_(std::move(file)) {}

    // Reads the file; a missing file holds no folders. Returns a message naming the file and
    // each line that is no absolute path (those lines are left out), else an empty text.
    std::string Load();
    // `folder` goes to the front (once) and the oldest past kMaxFolders go; the file is
    // rewritten whole. False when it could not be written (the list in memory is kept).
    bool Add(const std::filesystem::path& folder);

    const std::vector<std::filesystem::path>& folders() const { return folders_; }
    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
    std::vector<std::filesystem::path> folders_;
};

}  // namespace kvx::scantool
