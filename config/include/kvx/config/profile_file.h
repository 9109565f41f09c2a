#pragma once
// Profile (INI) files with the Windows rules: section and key names without regard to case,
// the first occurrence wins, blanks around names and values trimmed, surrounding quotes
// removed, a default for every missing key, integer reads of the leading decimal number.
// A write of one key keeps every other line of the file. CR LF and LF files both read.

#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::config {

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

}  // namespace kvx::config
