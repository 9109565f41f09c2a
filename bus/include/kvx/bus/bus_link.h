#pragma once
// The plug-in's two bus transactions over its single serial port. Every transaction holds the
// port lock from opening the port to closing it, so a write from a host thread and a read of
// the polling thread never overlap on the bus. The lock lives as long as the link object, so
// a write that arrives while no polling thread runs is still safe.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "kvx/bus/port_lock.h"
#include "kvx/bus/serial_port.h"

namespace kvx::bus {

// Time-outs with which the plug-in uses the bus port, in milliseconds.
struct BusTimeouts {
    std::uint32_t readInterval = 20;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 500;
    std::uint32_t writeTotalMultiplier = 1;
    std::uint32_t writeTotalConstant = 300;
};

inline constexpr std::uint32_t kBusEventMask = 0xE1;
inline constexpr std::size_t kReceiveAreaSize = 1024;
// Result of a block read that gave up waiting for the port lock: nothing was sent.
inline constexpr std::int32_t kReadAbandoned = -2;

class BusLink {
  public:
    BusLink() = default;
    BusLink(const BusLink&) = delete;
    BusLink& operator=(const BusLink&) = delete;

    // The port name is held whole; set before the polling starts.
    void setPortName(std::string_view name);
    std::string portName() const;

    // Reads `byteCount` bytes from `dataAddress` of member `busAddress` into `destination`
    // (room for byteCount bytes). Results: -1 the port could not be opened (nothing sent);
    // 0 no usable answer; otherwise the number of bytes received, where only byteCount + 11
    // is a complete answer. With `abandon`, the read gives up when the flag is set before
    // it has the port (see PortLock::lockUnless) and returns kReadAbandoned.
    std::int32_t BusReadBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                              int byteCount, int zeroByte,
                              const std::atomic<bool>* abandon = nullptr);

    // Sends `byteCount` bytes from `source` to `dataAddress` of member `busAddress` and reads
    // the acknowledgement without examining it. Returns -1 when the port could not be opened
    // (nothing sent), else 0: whether the member took the value is not known.
    std::int32_t BusWriteBlock(const std::uint8_t* source, int busAddress, int dataAddress,
                               int byteCount, int zeroByte);

    // The recursive port lock, for callers that need several transactions in a row.
    PortLock& portLock() { return portLock_; }

  private:
    // Opens the bus port under the held port lock; false when no handle could be had.
    bool openBusPort();

    mutable std::mutex nameMutex_;
    std::string portName_ = "COM1";
    PortLock portLock_;
    CSerialPort port_;
};

}  // namespace kvx::bus
