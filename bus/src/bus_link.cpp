#include "kvx/bus/bus_link.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "kvx/bus/frame.h"
#include "kvx/platform/clock.h"

namespace kvx::bus {

void BusLink::setPortName(std::string_view name) {
    std::lock_guard lock(nameMutex_);
    portName_ = std::string(name);
}

std::string BusLink::portName() const {
    std::lock_guard lock(nameMutex_);
    return portName_;
}

bool BusLink::openBusPort() {
    try {
        port_.OpenPort(portName(), 19200, EvenParity, 8, OneStopBit, NoHandshake, false);
        platform::SerialTimeouts timeouts;
        port_.GetTimeoutSettings(timeouts);
        const BusTimeouts bus;
        timeouts = {bus.readInterval, bus.readTotalMultiplier, bus.readTotalConstant,
                    bus.writeTotalMultiplier, bus.writeTotalConstant};
        port_.SetTimeoutSettings(timeouts);
        port_.SetEventMask(kBusEventMask);
    } catch (const CSerialException&) {
        // The remaining set-up is skipped; the port counts as opened if it has a handle.
        // Its time-outs then are the device defaults, which are bounded as well.
    }
    return port_.IsOpen();
}

void BusLink::dropUntilQuiet(std::uint32_t firstWindowMs) {
    // The next open flushes only what came before its request: bytes still on their way
    // would be read as the start of the next answer.
    std::array<std::uint8_t, kReceiveAreaSize> scratch{};
    const BusTimeouts bus;
    platform::SerialTimeouts timeouts{0, 0, firstWindowMs, bus.writeTotalMultiplier,
                                      bus.writeTotalConstant};
    const auto giveUp = platform::MonoClock::now() + platform::Millis(kMaxDropMs);
    for (;;) {
        port_.SetTimeoutSettings(timeouts);
        if (port_.ReadBytes(scratch.data(), static_cast<std::uint32_t>(scratch.size())) == 0) break;
        if (platform::MonoClock::now() >= giveUp) break;
        timeouts.readTotalConstant = kQuietLineMs;
    }
}

bool BusLink::answerPasses(const std::uint8_t* receive, std::size_t start, std::size_t received,
                           int busAddress, int dataAddress, int zeroByte, std::size_t count) const {
    const AnswerCheck check = answerCheck();
    if (check == AnswerCheck::StartAndEnd) return true;
    // Start character, four header bytes, header check, the data, data check, end character.
    if (received != start + 8 + count) return false;
    const std::uint8_t* header = receive + start + 1;
    const auto address = static_cast<std::uint8_t>(busAddress);
    const auto data = static_cast<std::uint8_t>(dataAddress);
    const auto zero = static_cast<std::uint8_t>(zeroByte);
    if (header[0] != address || header[1] != data || header[3] != count) return false;
    const std::span<const std::uint8_t> block(receive + start + 6, count);
    if (receive[start + 6 + count] != ByteSum(block)) return false;
    if (check == AnswerCheck::Full) {
        if (header[2] != zero) return false;
        if (header[4] !=
            HeaderCheck(kLongStart, address, data, zero, static_cast<std::uint8_t>(count))) {
            return false;
        }
    }
    return true;
}

std::int32_t BusLink::BusReadBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                                   int byteCount, int zeroByte, const std::atomic<bool>* abandon) {
    const auto request = BuildShortFrame(busAddress, dataAddress, zeroByte, byteCount);
    const std::size_t count = static_cast<std::uint8_t>(byteCount);
    std::array<std::uint8_t, kReceiveAreaSize> receive{};
    std::uint32_t received = 0;
    std::size_t start = 0;
    bool usable = false;
    {
        if (!portLock_.lockUnless(abandon)) return kReadAbandoned;
        std::lock_guard lock(portLock_, std::adopt_lock);
        if (!openBusPort()) return -1;
        try {
            port_.WriteBytes(request.data(), static_cast<std::uint32_t>(request.size()));
            received = port_.ReadBytes(receive.data(),
                                       static_cast<std::uint32_t>(count + kLongFrameOverhead));
        } catch (const CSerialException&) {
            received = 0;
        }
        while (start < 4 && start < received && receive[start] == 0x00) ++start;
        usable =
            received > 0 && received <= kMaxFrameLength && receive[received - 1] == kEndChar &&
            receive[start] == kLongStart &&
            answerPasses(receive.data(), start, received, busAddress, dataAddress, zeroByte, count);
        // A complete answer of the wrong kind, or none in time: what is still on its way
        // belongs to no request.
        if (!usable || received != count + kLongFrameOverhead) {
            try {
                dropUntilQuiet(kQuietLineMs);
            } catch (const CSerialException&) {
            }
        }
        port_.ClosePort();
    }
    if (!usable) return 0;
    // The data of a frame with a shifted start may reach past what arrived; it is copied
    // from the zeroed receive area, and the caller rejects such a count anyway.
    std::memcpy(destination, receive.data() + start + 6, count);
    return static_cast<std::int32_t>(received);
}

std::int32_t BusLink::BusWriteBlock(const std::uint8_t* source, int busAddress, int dataAddress,
                                    int byteCount, int zeroByte) {
    const std::size_t count = static_cast<std::uint8_t>(byteCount);
    std::array<std::uint8_t, kMaxFrameLength> frame{};
    const std::size_t length = BuildLongFrame(frame, busAddress, dataAddress, zeroByte,
                                              std::span<const std::uint8_t>(source, count));
    // A block over 245 bytes makes a frame longer than any member takes: nothing is sent.
    if (count > kMaxBlockBytes || length == 0) return 0;
    std::lock_guard lock(portLock_);
    if (!openBusPort()) return -1;
    std::uint32_t acknowledged = 0;
    try {
        port_.WriteBytes(frame.data(), static_cast<std::uint32_t>(length));
        std::array<std::uint8_t, kShortFrameLength> ack{};
        acknowledged = port_.ReadBytes(ack.data(), static_cast<std::uint32_t>(ack.size()));
        // Nothing within the time-out: an answer may still be on its way. A full space: the
        // member may still be talking. (A short one ended on a quiet line.)
        if (acknowledged == 0) {
            dropUntilQuiet(kQuietLineMs);
        } else if (acknowledged == ack.size()) {
            dropUntilQuiet(kQuietAfterAnswerMs);
        }
    } catch (const CSerialException&) {
    }
    port_.ClosePort();
    return static_cast<std::int32_t>(acknowledged);
}

}  // namespace kvx::bus
