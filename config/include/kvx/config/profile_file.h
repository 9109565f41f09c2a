#pragma once
// Profile (INI) files with the Windows rules: section and key names without regard to case,
// the first occurrence wins, blanks around names and values trimmed, surrounding quotes
// removed, a default for every missing key, integer reads of the leading decimal number.
// A write of one key keeps every other line of the file. CR LF and LF files both read.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kvx::config {

// Only a regular file of at most this size is read; anything else reads as no file. Far
// beyond any real settings file, it keeps a runaway file from filling the memory.
inline constexpr std::uint64_t kMaxProfileFileBytes = 64u * 1024u * 1024u;

// Text value of [section] key, or `fallback`; at most capacity-1 characters are returned
// (capacity 0 = unbounded), as a caller's fixed buffer would hold.
std::string GetProfileString(const std::filesystem::path& file, std::string_view section,
                             std::string_view key, std::string_view fallback,
                             std::size_t capacity = 0);

// Integer value: optional sign and leading decimal digits; `fallback` when the key is
// missing; 0 when the value does not start with a number.
int GetProfileInt(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  int fallback);

// Writes one key, creating the file or section when missing; returns false on failure.
// The file is replaced atomically (temporary file + rename).
bool WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value);

// One parse of a profile file, for a pass that looks up many keys (the namespace build reads
// two keys of 32 sections): the same answers as the functions above, without reading the file
// again for every key. A missing or unreadable file gives every key its default.
class ProfileSnapshot {
  public:
    static ProfileSnapshot Read(const std::filesystem::path& file);

    // Why a file that exists was not read ("is a directory", "cannot be opened: Permission
    // denied"); empty when it was read or does not exist.
    const std::string& Problem() const { return problem_; }

    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback,
                          std::size_t capacity = 0) const;
    int GetInt(std::string_view section, std::string_view key, int fallback) const;

  private:
    std::optional<std::string_view> lookup(std::string_view section, std::string_view key) const;

    // Section and key names in lower case; the first occurrence of a key wins.
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections_;
    std::string problem_;
};

}  // namespace kvx::config
