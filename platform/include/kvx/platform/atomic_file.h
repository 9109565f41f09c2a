#pragma once
// Replacing a file as a whole: the new contents go to a temporary file in the same directory,
// are flushed to the disk and renamed over the old file. Readers see the old file or the new
// one, never a truncated one; a failed write leaves the old file as it was.

#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::platform {

// Writes `contents` as the new `file`. Returns false (and leaves the old file untouched, with
// no temporary file left behind) when any step fails; `error`, when given, then receives a
// text naming the file and the cause. An existing file keeps its permission bits; when `file`
// is a symbolic link, the file it points to is replaced and the link stays.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         std::string* error = nullptr);

}  // namespace kvx::platform
