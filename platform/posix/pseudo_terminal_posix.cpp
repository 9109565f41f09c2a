#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "kvx/platform/pseudo_terminal.h"

namespace kvx::platform {

namespace {

class PosixPseudoTerminal final : public PseudoTerminal {
  public:
    PosixPseudoTerminal(int master, int slave, std::string path)
        : master_(master), slave_(slave), path_(std::move(path)) {}
    ~PosixPseudoTerminal() override {
        ::close(slave_);
        ::close(master_);
    }

    const std::string& slavePath() const override { return path_; }

    long readSome(void* buffer, std::size_t capacity, MonoClock::duration timeout) override {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
        if (ns < 0) ns = 0;
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd pfd{master_, POLLIN, 0};
        int ready = ::ppoll(&pfd, 1, &ts, nullptr);
        if (ready < 0) return errno == EINTR ? 0 : -1;
        if (ready == 0) return 0;
        ssize_t n = ::read(master_, buffer, capacity);
        if (n < 0) return (errno == EAGAIN || errno == EINTR || errno == EIO) ? 0 : -1;
        return static_cast<long>(n);
    }

    bool writeAll(const void* buffer, std::size_t count) override {
        const auto* p = static_cast<const unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            ssize_t n = ::write(master_, p + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd pfd{master_, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        }
        return true;
    }

    void discardInput() override { ::tcflush(master_, TCIFLUSH); }

    // The slave's input queue holds what the master wrote and nobody has read yet.
    void discardUnreadOutput() override { ::tcflush(slave_, TCIFLUSH); }

  private:
    int master_;
    int slave_;
    std::string path_;
};

}  // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::create(int& error) {
    error = 0;
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = errno;
        if (master >= 0) ::close(master);
        return nullptr;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        error = errno;
        ::close(master);
        return nullptr;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        error = errno;
        ::close(master);
        return nullptr;
    }
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    return std::make_unique<PosixPseudoTerminal>(master, slave, name);
}

}  // namespace kvx::platform
