#include "kvx/scantool/bus_access.h"

#include <algorithm>
#include <cstring>

#include "kvx/platform/clock.h"

namespace kvx::scantool {

int AnswerTime(int bytes) {
    // 11 bit times per byte at 19200 baud, as the tool has always computed it.
    return static_cast<int>(bytes * 0.5729166666666666);
}

std::array<std::uint8_t, 10> ShortFrame(int busAddress, int dataAddress, int byteCount,
                                        int zeroByte) {
    const auto a = static_cast<std::uint8_t>(busAddress);
    const auto d = static_cast<std::uint8_t>(dataAddress);
    const auto z = static_cast<std::uint8_t>(zeroByte);
    const auto n = static_cast<std::uint8_t>(byteCount);
    const auto header = static_cast<std::uint8_t>(0x10 + a + d + z + n);
    return {0x00, 0x00, 0x00, 0x10, a, d, z, n, header, 0x16};
}

platform::LineSettings ToolLineSettings() {
    platform::LineSettings s;
    s.baudRate = 19200;
    s.byteSize = 8;
    s.parity = platform::Parity::Even;
    s.stopBits = platform::StopBits::One;
    s.binary = true;
    s.parityCheck = true;
    s.outxCtsFlow = false;
    s.outxDsrFlow = false;
    s.dtrControl = platform::DtrControl::Disable;
    s.dsrSensitivity = false;
    s.outX = false;
    s.inX = false;
    s.errorChar = true;
    s.rtsControl = platform::RtsControl::Enable;
    s.abortOnError = true;
    s.xonLimit = 0;
    s.xoffLimit = 0;
    s.xonChar = 0;
    s.xoffChar = 0;
    s.eventChar = 0x16;
    return s;
}

namespace {
platform::SerialTimeouts ToolTimeouts(int answerTimeout) {
    platform::SerialTimeouts t;
    t.readInterval = 20;
    t.readTotalMultiplier = 0;
    // A total of 0 would mean "no total limit": a read must always end.
    t.readTotalConstant = static_cast<std::uint32_t>(std::max(answerTimeout, 1));
    t.writeTotalMultiplier = 1;
    t.writeTotalConstant = 300;
    return t;
}
}  // namespace

int ToolBus::OpenComPort(std::string_view name) {
    port_.reset();
    int error = 0;
    port_ = platform::SerialDevice::open(name, error);
    if (!port_) return -1;
    port_->setQueueSizes(1024, 1024);
    if (!port_->setLineSettings(ToolLineSettings())) {
        const int code = port_->lastError();
        if (messages_) {
            messages_("Error on the COM-Port!\nChange Com-Port in FENLODRV.INI",
                      "ZAN KVX-OPC-Server COM-ERROR");
        }
        // The read that follows must still end within the answer timeout.
        port_->setTimeouts(ToolTimeouts(answerTimeout));
        return code < 0 ? 0 : code;
    }
    port_->setQueueSizes(1024, 1024);
    port_->setTimeouts(ToolTimeouts(answerTimeout));
    return 0;
}

void ToolBus::CloseComPort() {
    if (port_) port_->close();
    port_.reset();
}

int ToolBus::FetchBlock(std::span<std::uint8_t> destination, int busAddress, int dataAddress,
                        int byteCount, int zeroByte) {
    const auto frame = ShortFrame(busAddress, dataAddress, byteCount, zeroByte);
    lastDropped_ = 0;
    if (OpenComPort(portName) < 0) return -1;

    std::size_t written = 0;
    port_->write(frame.data(), frame.size(), written);

    std::array<std::uint8_t, kReceiveAreaSize> receive{};
    const int want = std::clamp(byteCount + 11, 0, kReceiveAreaSize);
    std::size_t got = 0;
    const auto readStart = platform::MonoClock::now();
    if (want > 0) port_->read(receive.data(), static_cast<std::size_t>(want), got);
    if (got == static_cast<std::size_t>(want)) {
        // A member that sends more than was asked for is still talking.
        DropUntilQuiet(kQuietAfterAnswerMs);
    } else if (platform::MonoClock::now() - readStart >= platform::Millis(answerTimeout)) {
        // The answer timeout ended the read: a late answer may be about to start.
        DropUntilQuiet(kQuietIntervalMs);
    }
    // (A read that ended on the interval time-out has already seen the line quiet.)
    CloseComPort();

    // Only bytes that arrived are copied; the rest of the destination keeps what it held.
    const std::size_t dataArrived = got > 9 ? got - 9 : 0;
    const std::size_t copy = std::min(
        {static_cast<std::size_t>(std::max(byteCount, 0)), dataArrived, destination.size()});
    if (copy > 0) std::memcpy(destination.data(), receive.data() + 9, copy);
    return static_cast<int>(got);
}

void ToolBus::DropUntilQuiet(std::uint32_t firstWindowMs) {
    // Bytes that belong to no request of ours would otherwise be read as the start of the
    // next member's answer: the flush on the next open runs before they arrive.
    std::array<std::uint8_t, kReceiveAreaSize> scratch{};
    auto timeouts = ToolTimeouts(answerTimeout);
    timeouts.readInterval = 0;
    const auto giveUp = platform::MonoClock::now() + platform::Millis(kMaxDropMs);
    std::uint32_t window = firstWindowMs;
    for (;;) {
        timeouts.readTotalConstant = window;
        port_->setTimeouts(timeouts);
        std::size_t n = 0;
        if (!port_->read(scratch.data(), scratch.size(), n) || n == 0) break;
        lastDropped_ += static_cast<int>(n);
        if (platform::MonoClock::now() >= giveUp) break;
        window = kQuietIntervalMs;
    }
    port_->setTimeouts(ToolTimeouts(answerTimeout));
}

}  // namespace kvx::scantool
