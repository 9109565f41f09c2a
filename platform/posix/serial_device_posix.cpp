// POSIX serial device: termios raw mode, exclusive use by flock + TIOCEXCL, and reads driven
// by ppoll() on the monotonic clock (VTIME counts tenths of a second and cannot express the
// 20 ms interval time-out, so it is never used).

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kvx/platform/clock.h"
#include "kvx/platform/port_name.h"
#include "kvx/platform/serial_device.h"

namespace kvx::platform {

namespace {

speed_t speedFor(std::uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

std::uint32_t baudFor(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

timespec toTimespec(MonoClock::duration d) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns < 0) ns = 0;
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

class PosixSerialDevice final : public SerialDevice {
  public:
    explicit PosixSerialDevice(int fd) : fd_(fd) {}
    ~PosixSerialDevice() override { close(); }

    bool getLineSettings(LineSettings& out) override {
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return fail();
        out.baudRate = baudFor(::cfgetospeed(&tio));
        switch (tio.c_cflag & CSIZE) {
            case CS5:
                out.byteSize = 5;
                break;
            case CS6:
                out.byteSize = 6;
                break;
            case CS7:
                out.byteSize = 7;
                break;
            default:
                out.byteSize = 8;
                break;
        }
        if (!(tio.c_cflag & PARENB)) {
            out.parity = Parity::None;
        } else if (tio.c_cflag & CMSPAR) {
            out.parity = (tio.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
        } else {
            out.parity = (tio.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
        }
        out.stopBits = (tio.c_cflag & CSTOPB) ? StopBits::Two : StopBits::One;
        out.parityCheck = (tio.c_iflag & INPCK) != 0;
        out.outxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
        out.rtsControl = out.outxCtsFlow ? RtsControl::Handshake : rts_;
        out.outxDsrFlow = false;
        out.dtrControl = dtr_;
        out.outX = (tio.c_iflag & IXON) != 0;
        out.inX = (tio.c_iflag & IXOFF) != 0;
        out.xonChar = static_cast<char>(tio.c_cc[VSTART]);
        out.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
        return true;
    }

    bool setLineSettings(const LineSettings& in) override {
        // Handshakes this platform cannot do are refused rather than silently ignored.
        if (in.outxDsrFlow || in.dtrControl == DtrControl::Handshake ||
            in.rtsControl == RtsControl::Toggle || in.dsrSensitivity) {
            return fail(EINVAL);
        }
        if (in.outxCtsFlow != (in.rtsControl == RtsControl::Handshake)) return fail(EINVAL);
        speed_t speed = speedFor(in.baudRate);
        if (speed == B0) return fail(EINVAL);

        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return fail();
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        switch (in.byteSize) {
            case 5:
                tio.c_cflag |= CS5;
                break;
            case 6:
                tio.c_cflag |= CS6;
                break;
            case 7:
                tio.c_cflag |= CS7;
                break;
            case 8:
                tio.c_cflag |= CS8;
                break;
            default:
                return fail(EINVAL);
        }
        switch (in.parity) {
            case Parity::None:
                break;
            case Parity::Odd:
                tio.c_cflag |= PARENB | PARODD;
                break;
            case Parity::Even:
                tio.c_cflag |= PARENB;
                break;
            case Parity::Mark:
                tio.c_cflag |= PARENB | CMSPAR | PARODD;
                break;
            case Parity::Space:
                tio.c_cflag |= PARENB | CMSPAR;
                break;
        }
        switch (in.stopBits) {
            case StopBits::One:
                break;
            case StopBits::Two:
                tio.c_cflag |= CSTOPB;
                break;
            // 1.5 stop bits exist on POSIX only as the 5-bit form of CSTOPB.
            case StopBits::OneAndHalf:
                if (in.byteSize != 5) return fail(EINVAL);
                tio.c_cflag |= CSTOPB;
                break;
        }
        if (in.outxCtsFlow) tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
        if (in.outX) tio.c_iflag |= IXON;
        if (in.inX) tio.c_iflag |= IXOFF;
        if (in.parityCheck && in.parity != Parity::None) {
            // Bytes with parity errors arrive as NUL, the nearest POSIX match of the error
            // character replacement; without it they are passed through as received.
            tio.c_iflag |= INPCK;
        }
        tio.c_cc[VSTART] = static_cast<cc_t>(in.xonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(in.xoffChar);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        if (::tcsetattr(fd_, TCSANOW, &tio) != 0 && !onlyParityDropped(tio)) return fail();

        applyModemLine(TIOCM_DTR, in.dtrControl == DtrControl::Enable);
        if (in.rtsControl != RtsControl::Handshake) {
            applyModemLine(TIOCM_RTS, in.rtsControl == RtsControl::Enable);
        }
        dtr_ = in.dtrControl;
        rts_ = in.rtsControl;
        // Start bit, data bits, parity bit and stop bits of one character, as asked for (a
        // pseudo-terminal drops the parity bit from its settings, not from the line it models).
        const double bits = 1.0 + in.byteSize + (in.parity == Parity::None ? 0.0 : 1.0) +
                            (in.stopBits == StopBits::One   ? 1.0
                             : in.stopBits == StopBits::Two ? 2.0
                                                            : 1.5);
        charTime_ = std::chrono::nanoseconds(
            static_cast<std::int64_t>(bits * 1e9 / static_cast<double>(in.baudRate)));
        return true;
    }

    bool getTimeouts(SerialTimeouts& out) override {
        out = timeouts_;
        return true;
    }
    bool setTimeouts(const SerialTimeouts& in) override {
        timeouts_ = in;
        return true;
    }
    bool setQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
    bool setEventMask(std::uint32_t mask) override {
        eventMask_ = mask;
        return true;
    }

    bool read(void* buffer, std::size_t count, std::size_t& got) override {
        got = 0;
        if (count == 0) return true;
        auto* out = static_cast<std::uint8_t*>(buffer);
        auto& time = systemTime();
        const MonoTime start = time.now();
        std::uint64_t totalMs = std::uint64_t{timeouts_.readTotalConstant} +
                                std::uint64_t{timeouts_.readTotalMultiplier} * count;
        if (totalMs == 0 && timeouts_.readInterval == 0) totalMs = kUnboundedReadCapMs;
        const bool hasTotal = totalMs != 0;
        const MonoTime totalEnd = start + Millis(totalMs);
        const auto interval = Millis(timeouts_.readInterval);
        MonoTime lastByte{};

        while (got < count) {
            MonoTime now = time.now();
            MonoTime until = MonoTime::max();
            if (hasTotal) until = totalEnd;
            if (got > 0 && timeouts_.readInterval != 0)
                until = std::min(until, lastByte + interval);
            if (until != MonoTime::max() && now >= until) break;

            pollfd pfd{fd_, POLLIN, 0};
            timespec ts{};
            timespec* tsp = nullptr;
            if (until != MonoTime::max()) {
                ts = toTimespec(until - now);
                tsp = &ts;
            }
            int ready = ::ppoll(&pfd, 1, tsp, nullptr);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return fail();
            }
            if (ready == 0) continue;  // the loop head decides whether a time-out passed
            if (pfd.revents & (POLLERR | POLLNVAL)) return fail(EIO);
            ssize_t n = ::read(fd_, out + got, count - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                lastByte = time.now();
            } else if (n == 0 || (pfd.revents & POLLHUP)) {
                // The other end hung up: nothing more will come before the time-out; keep
                // the Win32 semantics of returning what arrived once the time-out passes.
                if (!hasTotal) break;
                time.sleepFor(std::min<MonoClock::duration>(totalEnd - time.now(), Millis(1)));
            } else if (errno != EAGAIN && errno != EINTR) {
                if (errno == EIO) {
                    time.sleepFor(std::min<MonoClock::duration>(totalEnd - time.now(), Millis(1)));
                    continue;
                }
                return fail();
            }
        }
        return true;
    }

    bool write(const void* buffer, std::size_t count, std::size_t& written) override {
        written = 0;
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        auto& time = systemTime();
        const MonoTime begun = time.now();
        std::uint64_t totalMs = std::uint64_t{timeouts_.writeTotalConstant} +
                                std::uint64_t{timeouts_.writeTotalMultiplier} * count;
        const bool hasTotal = totalMs != 0;
        const MonoTime end = time.now() + Millis(totalMs);
        while (written < count) {
            ssize_t n = ::write(fd_, in + written, count - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return fail();
            MonoTime now = time.now();
            if (hasTotal && now >= end) break;
            pollfd pfd{fd_, POLLOUT, 0};
            timespec ts = toTimespec(hasTotal ? end - now : Millis(kUnboundedReadCapMs));
            if (::ppoll(&pfd, 1, &ts, nullptr) < 0 && errno != EINTR) return fail();
        }
        return drain(begun, written, hasTotal, end);
    }

    void close() override {
        if (fd_ < 0) return;
        // TIOCEXCL outlives close() while another descriptor of the terminal stays open.
        ::ioctl(fd_, TIOCNXCL);
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }

    int lastError() const override { return lastError_; }

  private:
    // A write ends when its bytes have left the line, as a Win32 write does, so that the
    // time-outs of the read that follows start when the request has been sent: the output
    // queue empties (within the write time-out, should flow control hold it), tcdrain()
    // waits for the transmitter, and no write ends before its characters take at the line's
    // speed from the start of the write (a pseudo-terminal, and some USB adapters, report
    // bytes sent before they could have left).
    bool drain(MonoTime begun, std::size_t written, bool hasTotal, MonoTime end) {
        auto& time = systemTime();
        for (int queued = 0; ::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0;) {
            const MonoTime now = time.now();
            if (hasTotal && now >= end) return true;
            time.sleepFor(hasTotal ? std::min<MonoClock::duration>(end - now, Millis(1))
                                   : Millis(1));
        }
        if (::tcdrain(fd_) != 0 && errno != EINTR) return fail();
        MonoTime left = begun + charTime_ * static_cast<std::int64_t>(written);
        if (hasTotal) left = std::min(left, end);
        const MonoTime now = time.now();
        if (now < left) time.sleepFor(left - now);
        return true;
    }

    bool fail(int code = 0) {
        lastError_ = code != 0 ? code : errno;
        return false;
    }

    // Pseudo-terminals carry no parity: the kernel drops the parity bits and the C library
    // then reports the whole change as refused although everything else was applied. On a
    // pseudo-terminal that is not a failure of the port.
    bool onlyParityDropped(const termios& wanted) {
        const int err = errno;
        struct stat st {};
        termios now{};
        const bool pty = ::fstat(fd_, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
                         major(st.st_rdev) <= 143;
        constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
        const bool rest = pty && ::tcgetattr(fd_, &now) == 0 &&
                          (now.c_cflag & ~kParityBits) == (wanted.c_cflag & ~kParityBits) &&
                          now.c_iflag == wanted.c_iflag && ::cfgetospeed(&now) == ::cfgetospeed(&wanted);
        errno = err;
        return rest;
    }

    void applyModemLine(int line, bool on) {
        // Pseudo-terminals have no modem lines; their refusal is not an error of the port.
        ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
    }

    int fd_;
    int lastError_ = 0;
    SerialTimeouts timeouts_{20, 0, 500, 1, 300};
    std::uint32_t eventMask_ = 0;
    DtrControl dtr_ = DtrControl::Enable;
    RtsControl rts_ = RtsControl::Enable;
    std::chrono::nanoseconds charTime_{0};  // one character on the line; 0 until set
};

void requestLowLatency(int fd) {
    // USB serial adapters default to a 16 ms latency timer, close to the 20 ms interval
    // time-out; ask for low latency where the driver supports it and ignore refusals.
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &ss);
    }
}

}  // namespace

std::unique_ptr<SerialDevice> SerialDevice::open(std::string_view name, int& error) {
    error = 0;
    if (!isAcceptablePortName(name)) {
        error = ENAMETOOLONG;
        if (name.empty()) error = ENOENT;
        return nullptr;
    }
    std::string path = devicePathForPort(name);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        error = ENOTTY;
        return nullptr;
    }
    // flock stops every other opener, root included; TIOCEXCL stops plain open() calls of
    // programs that do not take the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return nullptr;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        error = errno;
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return nullptr;
    }
    requestLowLatency(fd);
    // A fresh open starts with empty queues: bytes a member sent after the previous user gave
    // up (a late answer) would otherwise pass for the answer to the next request.
    ::tcflush(fd, TCIOFLUSH);
    return std::make_unique<PosixSerialDevice>(fd);
}

bool systemErrorText(std::uint32_t code, std::string& text) {
    text.clear();
    if (code == 0 || code > 4095) return false;
    char buffer[256];
    const char* msg = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    std::string candidate = msg ? msg : "";
    // glibc answers "Unknown error N" for codes it has no text for.
    if (candidate.empty() || candidate.rfind("Unknown error", 0) == 0) return false;
    text = std::move(candidate);
    return true;
}

}  // namespace kvx::platform
