#pragma once
// The tool's INI file "LINKSPY.INI": found in the current directory or along PATH, read for
// the port and the request delay, written only for the port.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kvx::scantool {

inline constexpr const char* kToolIniName = "LINKSPY.INI";

// Request delay defaults when the file has no `Timeout`/`Time` key.
inline constexpr int kDelayAtStart = 150;
inline constexpr int kDelayBeforeScan = 400;
inline constexpr int kDelayBeforeTest = 200;

// Full path of `fileName` in `currentDirectory`, else in the first directory of
// `pathVariable` (the PATH list) that holds it; a name equal without regard to case counts.
std::optional<std::filesystem::path> LocateToolIni(std::string_view fileName,
                                                   const std::filesystem::path& currentDirectory,
                                                   std::string_view pathVariable);

}  // namespace kvx::scantool
