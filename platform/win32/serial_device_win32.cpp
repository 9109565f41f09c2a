// Win32 serial device: the communications API itself. Exclusive use is the open without
// sharing; the read time-outs are COMMTIMEOUTS, which the device applies on its own.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "kvx/platform/port_name.h"
#include "kvx/platform/serial_device.h"

namespace kvx::platform {

namespace {

BYTE parityCode(Parity p) {
    switch (p) {
        case Parity::None:
            return NOPARITY;
        case Parity::Odd:
            return ODDPARITY;
        case Parity::Even:
            return EVENPARITY;
        case Parity::Mark:
            return MARKPARITY;
        case Parity::Space:
            return SPACEPARITY;
    }
    return EVENPARITY;
}

Parity parityFrom(BYTE code) {
    switch (code) {
        case NOPARITY:
            return Parity::None;
        case ODDPARITY:
            return Parity::Odd;
        case MARKPARITY:
            return Parity::Mark;
        case SPACEPARITY:
            return Parity::Space;
        default:
            return Parity::Even;
    }
}

class Win32SerialDevice final : public SerialDevice {
  public:
    explicit Win32SerialDevice(HANDLE handle) : handle_(handle) {}
    ~Win32SerialDevice() override { close(); }

    bool getLineSettings(LineSettings& out) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_, &dcb)) return fail();
        out.baudRate = dcb.BaudRate;
        out.byteSize = dcb.ByteSize;
        out.parity = parityFrom(dcb.Parity);
        out.stopBits = dcb.StopBits == TWOSTOPBITS    ? StopBits::Two
                       : dcb.StopBits == ONE5STOPBITS ? StopBits::OneAndHalf
                                                      : StopBits::One;
        out.binary = dcb.fBinary != 0;
        out.parityCheck = dcb.fParity != 0;
        out.outxCtsFlow = dcb.fOutxCtsFlow != 0;
        out.outxDsrFlow = dcb.fOutxDsrFlow != 0;
        out.dtrControl = static_cast<DtrControl>(dcb.fDtrControl);
        out.dsrSensitivity = dcb.fDsrSensitivity != 0;
        out.rtsControl = static_cast<RtsControl>(dcb.fRtsControl);
        out.outX = dcb.fOutX != 0;
        out.inX = dcb.fInX != 0;
        out.errorChar = dcb.fErrorChar != 0;
        out.abortOnError = dcb.fAbortOnError != 0;
        out.xonLimit = dcb.XonLim;
        out.xoffLimit = dcb.XoffLim;
        out.xonChar = dcb.XonChar;
        out.xoffChar = dcb.XoffChar;
        out.eventChar = dcb.EvtChar;
        return true;
    }

    bool setLineSettings(const LineSettings& in) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_, &dcb)) return fail();
        dcb.BaudRate = in.baudRate;
        dcb.ByteSize = in.byteSize;
        dcb.Parity = parityCode(in.parity);
        dcb.StopBits = in.stopBits == StopBits::Two          ? TWOSTOPBITS
                       : in.stopBits == StopBits::OneAndHalf ? ONE5STOPBITS
                                                             : ONESTOPBIT;
        dcb.fBinary = in.binary;
        dcb.fParity = in.parityCheck;
        dcb.fOutxCtsFlow = in.outxCtsFlow;
        dcb.fOutxDsrFlow = in.outxDsrFlow;
        dcb.fDtrControl = static_cast<DWORD>(in.dtrControl);
        dcb.fDsrSensitivity = in.dsrSensitivity;
        dcb.fRtsControl = static_cast<DWORD>(in.rtsControl);
        dcb.fOutX = in.outX;
        dcb.fInX = in.inX;
        dcb.fErrorChar = in.errorChar;
        dcb.fAbortOnError = in.abortOnError;
        dcb.XonLim = in.xonLimit;
        dcb.XoffLim = in.xoffLimit;
        dcb.XonChar = in.xonChar;
        dcb.XoffChar = in.xoffChar;
        dcb.EvtChar = in.eventChar;
        if (!::SetCommState(handle_, &dcb)) return fail();
        return true;
    }

    bool getTimeouts(SerialTimeouts& out) override {
        COMMTIMEOUTS t{};
        if (!::GetCommTimeouts(handle_, &t)) return fail();
        out = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
               t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
        return true;
    }

    bool setTimeouts(const SerialTimeouts& in) override {
        COMMTIMEOUTS t{in.readInterval, in.readTotalMultiplier, in.readTotalConstant,
                       in.writeTotalMultiplier, in.writeTotalConstant};
        // All zero would make a read wait for every asked byte without bound.
        if (t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            t.ReadTotalTimeoutConstant = kUnboundedReadCapMs;
        }
        if (!::SetCommTimeouts(handle_, &t)) return fail();
        return true;
    }

    bool setQueueSizes(std::uint32_t input, std::uint32_t output) override {
        return ::SetupComm(handle_, input, output) ? true : fail();
    }

    bool setEventMask(std::uint32_t mask) override {
        return ::SetCommMask(handle_, mask) ? true : fail();
    }

    bool read(void* buffer, std::size_t count, std::size_t& got) override {
        DWORD n = 0;
        const BOOL ok = ::ReadFile(handle_, buffer, static_cast<DWORD>(count), &n, nullptr);
        got = n;
        return ok ? true : fail();
    }

    bool write(const void* buffer, std::size_t count, std::size_t& written) override {
        DWORD n = 0;
        const BOOL ok = ::WriteFile(handle_, buffer, static_cast<DWORD>(count), &n, nullptr);
        written = n;
        return ok ? true : fail();
    }

    void close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    int lastError() const override { return lastError_; }

  private:
    bool fail() {
        lastError_ = static_cast<int>(::GetLastError());
        return false;
    }

    HANDLE handle_;
    int lastError_ = 0;
};

}  // namespace

std::unique_ptr<SerialDevice> SerialDevice::open(std::string_view name, int& error) {
    error = 0;
    if (!isAcceptablePortName(name)) {
        error = name.empty() ? ERROR_FILE_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    const std::string path = devicePathForPort(name);
    // No sharing: a port held by another program cannot be opened.
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        return nullptr;
    }
    auto device = std::make_unique<Win32SerialDevice>(handle);
    // Start with bounded time-outs: a read before the owner sets its own never hangs.
    device->setTimeouts({20, 0, 500, 1, 300});
    return device;
}

bool systemErrorText(std::uint32_t code, std::string& text) {
    text.clear();
    char* message = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
        reinterpret_cast<char*>(&message), 0, nullptr);
    if (n == 0 || message == nullptr) return false;
    text.assign(message, n);
    ::LocalFree(message);
    return true;
}

}  // namespace kvx::platform
