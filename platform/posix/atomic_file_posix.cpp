#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kvx/platform/atomic_file.h"

namespace kvx::platform {

namespace {
void setError(std::string* error, const std::filesystem::path& file, const char* step, int err) {
    if (error) *error = file.string() + ": " + step + ": " + std::strerror(err);
}

bool writeAll(int fd, std::string_view contents) {
    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

bool WriteFileAtomically(const std::filesystem::path& link, std::string_view contents,
                         std::string* error) {
    // A symbolic link stays a link: the file it points to is the one replaced.
    std::filesystem::path file = link;
    std::error_code ec;
    if (std::filesystem::is_symlink(link, ec)) {
        auto target = std::filesystem::canonical(link, ec);
        if (!ec) file = target;
    }
    const std::filesystem::path dir =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    std::string tmpl = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        setError(error, file, "cannot create a temporary file", errno);
        return false;
    }
    // Keep the permission bits of the file we replace; a new file gets rw-r--r--.
    struct stat old {};
    const mode_t mode = (::stat(file.c_str(), &old) == 0) ? (old.st_mode & 07777) : 0644;
    auto fail = [&](const char* step) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        setError(error, file, step, err);
        return false;
    };
    if (::fchmod(fd, mode) != 0) return fail("cannot set permissions");
    if (!writeAll(fd, contents)) return fail("write failed");
    if (::fsync(fd) != 0) return fail("flush to disk failed");
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        setError(error, file, "close failed", err);
        return false;
    }
    if (::rename(tmpl.c_str(), file.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        setError(error, file, "cannot replace the file", err);
        return false;
    }
    // Make the rename itself durable; a failure here no longer affects the contents.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace kvx::platform
