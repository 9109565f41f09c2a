#pragma once
// Replacing a file as a whole: the new contents go to a temporary file in the same directory,
// are flushed to the disk and renamed over the old file. Readers see the old file or the new
// one, never a truncated one; a failed write leaves the old file as it was.

#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::platform {

// The step at which a write failed, for callers whose messages tell them apart.
enum class FileWriteFailure {
    None,
    Open,   // the file may not be written (write-protected, no regular file) or not created
    Write,  // writing, flushing or replacing failed
    Close,  // closing the written file failed
};

// Writes `contents` as the new `file`. Returns false (and leaves the old file untouched, with
// no temporary file left behind) when any step fails; `error`, when given, then receives a
// text naming the file and the cause, and `failure` the step.
// - A file that may not be written (no write permission bit, or the system refuses to open
//   it for writing) is never replaced; neither is anything but a regular file.
// - A file that may be written in a folder that may not is written in place; a failed write
//   then puts the old contents back where the system allows it.
// - An existing file keeps its permission bits (and, where allowed, owner and group); a new
//   one gets the permissions the umask leaves of rw-rw-rw-.
// - When `file` is a symbolic link, the file it points to is replaced and the link stays.
// - Temporaries of earlier writes of the same file that were killed before renaming theirs
//   are removed.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         std::string* error = nullptr, FileWriteFailure* failure = nullptr);

}  // namespace kvx::platform
