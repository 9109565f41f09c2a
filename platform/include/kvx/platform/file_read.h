#pragma once
// Reading a whole settings or description file without ever blocking or reading without end:
// only a regular file is read (a directory, a FIFO or a device is refused before it is
// opened, and again if it was swapped in since), and at most a given number of bytes.

#include <cstdint>
#include <filesystem>
#include <string>

namespace kvx::platform {

enum class FileReadFailure {
    None,
    Missing,      // nothing of that name (a dangling symbolic link is NotReadable)
    NotRegular,   // a directory, a FIFO, a device or a socket
    NotReadable,  // the system refuses to open it (permissions, a symbolic link loop, ...)
    TooLarge,     // more than the bytes allowed
    Read,         // reading failed part way
    Close,        // closing failed; the contents were read whole
};

struct FileReadResult {
    std::string contents;
    FileReadFailure failure = FileReadFailure::None;
    // Why, in words that follow the file's name: "is a directory", "is a FIFO", "cannot be
    // opened: Permission denied"; empty when read.
    std::string reason;

    bool ok() const { return failure == FileReadFailure::None; }
};

FileReadResult ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes);

}  // namespace kvx::platform
