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

// How much of a read's answer is checked beyond its start and end characters. An answer that
// fails a check is no answer (result 0): it may be a late answer to an earlier request, one
// that arrived after the next request was sent, or one that was corrupted on the line.
enum class AnswerCheck : int {
    // Only the start and end characters and the length (members that fill their answer's
    // header in a way of their own).
    StartAndEnd = 0,
    // Also the bus address, data address and byte count in the answer's header, and the data
    // check. The default: every member that answers by the frame rules passes.
    AddressesAndData = 1,
    // Also the zero byte and the header check.
    Full = 2,
};

// After an exchange without a usable answer, bytes are dropped until the line has been quiet
// this long, so that a late answer is not read as the answer to the next request.
inline constexpr std::uint32_t kQuietLineMs = 20;
// After an acknowledgement that filled the space read for it, a byte within this time means
// the member is still talking (under two character times).
inline constexpr std::uint32_t kQuietAfterAnswerMs = 1;
// A member that never stops talking does not hold the port longer than this.
inline constexpr std::uint32_t kMaxDropMs = 1000;

class BusLink {
  public:
    BusLink() = default;
    BusLink(const BusLink&) = delete;
    BusLink& operator=(const BusLink&) = delete;

    // The port name is held whole; set before the polling starts.
    void setPortName(std::string_view name);
    std::string portName() const;
    void setAnswerCheck(AnswerCheck check) { answerCheck_.store(check); }
    AnswerCheck answerCheck() const { return answerCheck_.load(); }

    // Reads `byteCount` bytes from `dataAddress` of member `busAddress` into `destination`
    // (room for byteCount bytes). Results: -1 the port could not be opened (nothing sent);
    // 0 no usable answer (nothing, or an answer that fails the answer check in use);
    // otherwise the number of bytes received, where only byteCount + 11 is a complete answer.
    // After an exchange without a usable answer the line is quiet before the port is closed. With
    // `abandon`, the read gives up when the flag is set before it has the port (see
    // PortLock::lockUnless) and returns kReadAbandoned.
    std::int32_t BusReadBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                              int byteCount, int zeroByte,
                              const std::atomic<bool>* abandon = nullptr);

    // Sends `byteCount` bytes from `source` to `dataAddress` of member `busAddress` and reads
    // the acknowledgement without examining its contents. Returns -1 when the port could not
    // be opened (nothing sent), 0 when nothing was sent or nothing answered it, otherwise the
    // number of acknowledgement bytes (at most 10) that arrived.
    std::int32_t BusWriteBlock(const std::uint8_t* source, int busAddress, int dataAddress,
                               int byteCount, int zeroByte);

    // The recursive port lock, for callers that need several transactions in a row.
    PortLock& portLock() { return portLock_; }

  private:
    // Opens the bus port under the held port lock; false when no handle could be had.
    bool openBusPort();
    // Drops what arrives on the open port until the line has been quiet for `firstWindowMs`
    // (then kQuietLineMs between later bytes), for at most kMaxDropMs.
    void dropUntilQuiet(std::uint32_t firstWindowMs);
    // The answer check of a read: true when the received frame is the answer asked for.
    bool answerPasses(const std::uint8_t* receive, std::size_t start, std::size_t received,
                      int busAddress, int dataAddress, int zeroByte, std::size_t count) const;

    mutable std::mutex nameMutex_;
    std::string portName_ = "COM1";
    std::atomic<AnswerCheck> answerCheck_{AnswerCheck::AddressesAndData};
    PortLock portLock_;
    CSerialPort port_;
};

}  // namespace kvx::bus
