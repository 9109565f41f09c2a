#pragma once
// The plug-in's serial port object: opens a port by name with the line settings, does
// blocking reads and writes within the port's time-outs, and reports every failing system
// call by throwing a CSerialException that carries the system error code.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kvx/platform/serial_device.h"

namespace kvx::bus {

// Codes taken by OpenPort; the numbers are fixed because callers pass them.
enum SerialParity : int {
    EvenParity = 0,
    MarkParity = 1,
    NoParity = 2,
    OddParity = 3,
    SpaceParity = 4
};
enum SerialStopBits : int { OneStopBit = 0, OneAndHalfStopBits = 1, TwoStopBits = 2 };
enum SerialHandshake : int {
    NoHandshake = 0,
    CtsRtsHandshake = 1,
    CtsDtrHandshake = 2,
    DsrRtsHandshake = 3,
    DsrDtrHandshake = 4,
    XonXoffHandshake = 5
};

// Where CSerialPort::OpenPort gets its device. Unset, it opens the system's serial port by
// name; the frame-handling fuzzer installs an in-process byte stream here so that the bus
// transactions run without the line's pacing. Returns the opener that was in place.
using SerialDeviceOpener = std::unique_ptr<platform::SerialDevice> (*)(std::string_view name,
                                                                       int& error);
SerialDeviceOpener SetSerialDeviceOpener(SerialDeviceOpener opener);

class CSerialException {
  public:
    explicit CSerialException(std::uint32_t errorCode) : errorCode_(errorCode) {}
    std::uint32_t errorCode() const { return errorCode_; }
    // System message for the error code, at most capacity-1 characters plus terminator.
    // Sets *helpContext to 0 when given. Empty text and false for a code without message.
    bool GetErrorMessage(char* text, unsigned capacity, unsigned* helpContext = nullptr) const;

  private:
    std::uint32_t errorCode_;
};

class CSerialPort {
  public:
    CSerialPort() = default;
    ~CSerialPort() { ClosePort(); }
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens and configures the port. The instance counts as open as soon as the device was
    // opened, even when a later step throws.
    void OpenPort(std::string_view portName, std::uint32_t baudRate, int parity,
                  std::uint8_t dataBits, int stopBits, int handshake, bool overlapped);
    void ClosePort();
    bool IsOpen() const { return device_ != nullptr; }

    std::uint32_t ReadBytes(void* buffer, std::uint32_t count);
    std::uint32_t WriteBytes(const void* buffer, std::uint32_t count);

    void GetLineSettings(platform::LineSettings& settings);
    void SetLineSettings(const platform::LineSettings& settings);
    void GetTimeoutSettings(platform::SerialTimeouts& timeouts);
    void SetTimeoutSettings(const platform::SerialTimeouts& timeouts);
    void SetEventMask(std::uint32_t mask);

    // Throws CSerialException with `code`, or with the last system error when `code` is 0.
    [[noreturn]] void RaiseSerialError(std::uint32_t code = 0);

  private:
    std::unique_ptr<platform::SerialDevice> device_;
    bool overlapped_ = false;
    int lastError_ = 0;
};

}  // namespace kvx::bus
