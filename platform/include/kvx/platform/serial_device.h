#pragma once
// The serial device: an exclusive open of a named port, line settings in the shape of the
// Win32 device control block, and reads bounded by COMMTIMEOUTS-style interval and total
// time-outs. Failures return false and leave the system error code in lastError(), so that
// callers can turn them into their own exceptions or result codes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kvx::platform {

enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : std::uint8_t { One = 0, OneAndHalf = 1, Two = 2 };
enum class DtrControl : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2 };
enum class RtsControl : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2, Toggle = 3 };

// The device control block fields this system uses. Values follow the Win32 numbering.
struct LineSettings {
    std::uint32_t baudRate = 19200;
    std::uint8_t byteSize = 8;
    Parity parity = Parity::Even;
    StopBits stopBits = StopBits::One;
    bool binary = true;
    bool parityCheck = false;  // fParity
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    DtrControl dtrControl = DtrControl::Enable;
    bool dsrSensitivity = false;
    RtsControl rtsControl = RtsControl::Enable;
    bool outX = false;
    bool inX = false;
    bool errorChar = false;  // replace bytes with parity errors
    bool abortOnError = false;
    std::uint16_t xonLimit = 0;
    std::uint16_t xoffLimit = 0;
    char xonChar = 0x11;
    char xoffChar = 0x13;
    char eventChar = 0;
};

// Milliseconds, as COMMTIMEOUTS. A read ends when the asked bytes arrived, when more than
// readInterval passes after a byte without the next one (0 = no interval limit), or when
// readTotalConstant + readTotalMultiplier * n has passed since the read began.
struct SerialTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};

// When no total read time-out is set at all, a read still ends after this long, so that no
// read can wait without bound (the ports are always used with explicit time-outs).
inline constexpr std::uint32_t kUnboundedReadCapMs = 1000;

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    // Opens the port `name` (see port_name.h) for exclusive use: a port already held by this
    // or another process, or one that does not exist, fails. On failure returns nullptr and
    // sets `error` to the system error code.
    static std::unique_ptr<SerialDevice> open(std::string_view name, int& error);

    virtual bool getLineSettings(LineSettings& out) = 0;
    virtual bool setLineSettings(const LineSettings& in) = 0;
    virtual bool getTimeouts(SerialTimeouts& out) = 0;
    virtual bool setTimeouts(const SerialTimeouts& in) = 0;
    // Size of the driver's queues; advisory on platforms that have fixed queues.
    virtual bool setQueueSizes(std::uint32_t input, std::uint32_t output) = 0;
    // Event mask of the port; no waiter in this system uses it.
    virtual bool setEventMask(std::uint32_t mask) = 0;

    // Blocking read within the time-outs; returns false on an I/O failure. `got` holds the
    // bytes that arrived (possibly none) in every case.
    virtual bool read(void* buffer, std::size_t count, std::size_t& got) = 0;
    // Blocking write within the write time-outs; `written` may be short on a time-out.
    virtual bool write(const void* buffer, std::size_t count, std::size_t& written) = 0;

    // Releases the exclusive hold and closes the device. Safe to call twice.
    virtual void close() = 0;

    // System error code of the last failing call.
    virtual int lastError() const = 0;
};

// Text of a system error code. Returns false (and an empty text) for a code the system has
// no message for.
bool systemErrorText(std::uint32_t code, std::string& text);

// Why the system refused an open of port `name` that failed with `error`, in words for the
// user: "not in group dialout" when the device belongs to a group the process is not a
// member of, else the system's text of the refusal. Empty when `error` is no refusal of
// permission (a missing or busy port).
std::string accessRefusal(std::string_view name, int error);

}  // namespace kvx::platform
