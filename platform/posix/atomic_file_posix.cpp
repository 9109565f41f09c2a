#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "kvx/platform/atomic_file.h"

namespace kvx::platform {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNameChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kSuffixChars = 6;
// A temporary this young may belong to a writer that has created it but not yet locked it.
constexpr auto kStaleAge = std::chrono::seconds(5);

bool fail(std::string* error, FileWriteFailure* failure, const fs::path& file, const char* step,
          int err, FileWriteFailure kind) {
    if (error) *error = file.string() + ": " + step + ": " + std::strerror(err);
    if (failure) *failure = kind;
    return false;
}

bool writeAllAt(int fd, std::string_view contents) {
    const char* p = contents.data();
    std::size_t left = contents.size();
    off_t at = 0;
    while (left > 0) {
        const ssize_t n = ::pwrite(fd, p, left, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// ".NAME.XXXXXX": the temporaries this writer makes for NAME.
std::string temporaryPrefix(const fs::path& file) {
    return "." + file.filename().string() + ".";
}

bool isOurTemporary(const std::string& entry, const std::string& prefix) {
    if (entry.size() != prefix.size() + kSuffixChars || entry.compare(0, prefix.size(), prefix)) {
        return false;
    }
    return entry.find_first_not_of(kNameChars, prefix.size()) == std::string::npos;
}

// Removes temporaries that earlier writes of this file left behind when they were killed. A
// writer holds a lock on its temporary until it has been renamed, so one whose lock we get
// (and that is not brand-new) has no writer any more.
void removeStaleTemporaries(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return;
    const auto now = fs::file_time_type::clock::now();
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (!isOurTemporary(name, prefix)) continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            now - fs::last_write_time(entry.path(), ec) > kStaleAge && !ec &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // Still the file we locked under that name (a writer may have renamed it since).
            struct stat again {};
            if (::lstat(entry.path().c_str(), &again) == 0 && again.st_ino == st.st_ino &&
                again.st_dev == st.st_dev) {
                ::unlink(entry.path().c_str());
            }
        }
        ::close(fd);
    }
}

// Creates a new temporary next to the file: the mode asked for is reduced by the umask, as
// for any new file.
int createTemporary(const fs::path& dir, const std::string& prefix, std::string& path) {
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, kNameChars.size() - 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (std::size_t i = 0; i < kSuffixChars; ++i) name += kNameChars[pick(random)];
        path = (dir / name).string();
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Whether an existing file may be written: the system must grant it, and a file without any
// write permission bit is write-protected also for a user whom the system would let pass.
bool mayWrite(const fs::path& file, const struct stat& st) {
    if ((st.st_mode & 0222) == 0) {
        errno = EACCES;
        return false;
    }
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// The folder may not be written, the file may: write the file itself. A failed write puts the
// old contents back, so what fails leaves the file as it was wherever the system allows.
bool writeInPlace(const fs::path& file, std::string_view contents, std::string* error,
                  FileWriteFailure* failure) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(error, failure, file, "cannot open the file for writing", errno,
                    FileWriteFailure::Open);
    }
    std::string old;
    {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(old.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            old.append(buf, static_cast<std::size_t>(n));
        }
    }
    if (!writeAllAt(fd, contents) || ::ftruncate(fd, static_cast<off_t>(contents.size())) != 0 ||
        ::fsync(fd) != 0) {
        const int err = errno;
        if (writeAllAt(fd, old)) {
            (void)!::ftruncate(fd, static_cast<off_t>(old.size()));
            ::fsync(fd);
        }
        ::close(fd);
        return fail(error, failure, file, "write failed", err, FileWriteFailure::Write);
    }
    if (::close(fd) != 0) {
        return fail(error, failure, file, "close failed", errno, FileWriteFailure::Close);
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const fs::path& link, std::string_view contents, std::string* error,
                         FileWriteFailure* failure) {
    if (failure) *failure = FileWriteFailure::None;
    // A symbolic link stays a link: the file it points to is the one replaced.
    fs::path file = link;
    std::error_code ec;
    if (fs::is_symlink(link, ec)) {
        auto target = fs::canonical(link, ec);
        if (!ec) file = target;
    }
    const fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();

    struct stat old {};
    const bool exists = ::stat(file.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        return fail(error, failure, file, "not a regular file",
                    S_ISDIR(old.st_mode) ? EISDIR : EINVAL, FileWriteFailure::Open);
    }
    // A write-protected file is never replaced, whoever asks.
    if (exists && !mayWrite(file, old)) {
        return fail(error, failure, file, "the file may not be written", errno,
                    FileWriteFailure::Open);
    }

    const std::string prefix = temporaryPrefix(file);
    removeStaleTemporaries(dir, prefix);
    std::string tmp;
    const int fd = createTemporary(dir, prefix, tmp);
    if (fd < 0) {
        const int err = errno;
        // A file we may write in a folder we may not: write the file itself.
        if (exists && (err == EACCES || err == EPERM)) {
            return writeInPlace(file, contents, error, failure);
        }
        return fail(error, failure, file, "cannot create a temporary file", err,
                    FileWriteFailure::Open);
    }
    // The lock tells later writers that this temporary is in use; it lasts until the rename.
    ::flock(fd, LOCK_EX | LOCK_NB);
    const int lockFd = ::dup(fd);
    auto abandon = [&](const char* step, int err, FileWriteFailure kind) {
        ::close(fd);
        ::unlink(tmp.c_str());
        if (lockFd >= 0) ::close(lockFd);
        return fail(error, failure, file, step, err, kind);
    };
    if (exists) {
        // Keep the permission bits, and where allowed the owner and group, of the file we
        // replace.
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            return abandon("cannot set permissions", errno, FileWriteFailure::Write);
        }
        struct stat mine {};
        if (::fstat(fd, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
            if (::fchown(fd, old.st_uid, old.st_gid) == 0) ::fchmod(fd, old.st_mode & 07777);
        }
    }
    if (!writeAllAt(fd, contents)) return abandon("write failed", errno, FileWriteFailure::Write);
    if (::fsync(fd) != 0) return abandon("flush to disk failed", errno, FileWriteFailure::Write);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        if (lockFd >= 0) ::close(lockFd);
        return fail(error, failure, file, "close failed", err, FileWriteFailure::Close);
    }
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        if (lockFd >= 0) ::close(lockFd);
        return fail(error, failure, file, "cannot replace the file", err, FileWriteFailure::Write);
    }
    if (lockFd >= 0) ::close(lockFd);
    // Make the rename itself durable; a failure here no longer affects the contents.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace kvx::platform
