#include "kvx/bus/bus_link.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "kvx/bus/frame.h"

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

std::int32_t BusLink::BusReadBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                                   int byteCount, int zeroByte, const std::atomic<bool>* abandon) {
    const auto request = BuildShortFrame(busAddress, dataAddress, zeroByte, byteCount);
    const std::size_t count = static_cast<std::uint8_t>(byteCount);
    std::array<std::uint8_t, kReceiveAreaSize> receive{};
    std::uint32_t received = 0;
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
        port_.ClosePort();
    }

    std::size_t start = 0;
    while (start < 4 && start < received && receive[start] == 0x00) ++start;
    if (received == 0 || received > kMaxFrameLength) return 0;
    if (receive[received - 1] != kEndChar) return 0;
    if (receive[start] != kLongStart) return 0;
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
    try {
        port_.WriteBytes(frame.data(), static_cast<std::uint32_t>(length));
        std::array<std::uint8_t, kShortFrameLength> ack{};
        port_.ReadBytes(ack.data(), static_cast<std::uint32_t>(ack.size()));
    } catch (const CSerialException&) {
    }
    port_.ClosePort();
    return 0;
}

}  // namespace kvx::bus
