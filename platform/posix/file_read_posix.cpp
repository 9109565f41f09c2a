#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kvx/platform/file_read.h"

namespace kvx::platform {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
    if (S_ISSOCK(mode)) return "is a socket";
    return "is no regular file";
}

FileReadResult failed(FileReadFailure failure, std::string reason) {
    FileReadResult result;
    result.failure = failure;
    result.reason = std::move(reason);
    return result;
}

std::string tooLarge(std::uint64_t maxBytes) {
    return "is larger than " + std::to_string(maxBytes) + " bytes";
}

}  // namespace

FileReadResult ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes) {
    // Looked at before opening: opening a FIFO waits for a writer, opening a serial device
    // raises its control lines.
    struct stat before {};
    if (::stat(file.c_str(), &before) != 0) {
        const int err = errno;
        struct stat link {};
        if (err == ENOENT && ::lstat(file.c_str(), &link) != 0) {
            return failed(FileReadFailure::Missing, "does not exist");
        }
        if (err == ENOENT) {
            return failed(FileReadFailure::NotReadable, "is a symbolic link to nothing");
        }
        return failed(FileReadFailure::NotReadable,
                      std::string("cannot be opened: ") + std::strerror(err));
    }
    if (!S_ISREG(before.st_mode))
        return failed(FileReadFailure::NotRegular, kindOf(before.st_mode));

    // Non-blocking, in case something else took the name since.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return failed(FileReadFailure::NotReadable,
                      std::string("cannot be opened: ") + std::strerror(errno));
    }
    FileReadResult result;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result =
            failed(FileReadFailure::Read, std::string("cannot be read: ") + std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        result = failed(FileReadFailure::NotRegular, kindOf(st.st_mode));
    } else if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        result = failed(FileReadFailure::TooLarge, tooLarge(maxBytes));
    } else {
        result.contents.reserve(static_cast<std::size_t>(st.st_size));
        char block[65536];
        for (;;) {
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result = failed(FileReadFailure::Read,
                                std::string("cannot be read: ") + std::strerror(errno));
                break;
            }
            if (n == 0) break;
            // A file that grows while it is read is read to the bound only.
            if (result.contents.size() + static_cast<std::size_t>(n) > maxBytes) {
                result = failed(FileReadFailure::TooLarge, tooLarge(maxBytes));
                break;
            }
            result.contents.append(block, static_cast<std::size_t>(n));
        }
    }
    if (::close(fd) != 0 && result.ok()) {
        result.failure = FileReadFailure::Close;
        result.reason = std::string("cannot be closed: ") + std::strerror(errno);
    }
    return result;
}

}  // namespace kvx::platform
