// Answers of any shape to the plug-in's block read: the read never touches memory outside its
// receive area or the caller's block, and reports only the outcomes its callers know.
//
// The member sits behind the bus port's device interface as an in-process byte stream: the
// link opens, configures, writes, reads and closes it exactly as it does a serial port, but no
// line paces the bytes. A pause in the answer longer than the read interval is played by
// ending the read where the pause falls, as the port's interval time-out does.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "kvx/bus/bus_link.h"
#include "kvx/bus/frame.h"
#include "kvx/bus/serial_port.h"
#include "kvx/platform/serial_device.h"

namespace {

// What the member answers to the next complete request, and where the answer pauses.
struct Script {
    std::vector<std::uint8_t> answer;
    std::size_t pauseAfter = 0;  // 0: no pause
    bool readFails = false;
    std::size_t requestBytes = 0;  // what the link sent, for the checks
};
Script g_script;

class ScriptedDevice final : public kvx::platform::SerialDevice {
  public:
    bool getLineSettings(kvx::platform::LineSettings& out) override {
        out = line_;
        return true;
    }
    bool setLineSettings(const kvx::platform::LineSettings& in) override {
        line_ = in;
        return true;
    }
    bool getTimeouts(kvx::platform::SerialTimeouts& out) override {
        out = timeouts_;
        return true;
    }
    bool setTimeouts(const kvx::platform::SerialTimeouts& in) override {
        timeouts_ = in;
        return true;
    }
    bool setQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
    bool setEventMask(std::uint32_t) override { return true; }

    bool write(const void*, std::size_t count, std::size_t& written) override {
        if (closed_) return false;
        g_script.requestBytes += count;
        written = count;
        // A member answers a complete request only.
        if (!answered_ && g_script.requestBytes >= kvx::bus::kShortFrameLength) {
            answered_ = true;
            pending_ = g_script.answer;
            pos_ = 0;
        }
        return true;
    }

    bool read(void* buffer, std::size_t count, std::size_t& got) override {
        got = 0;
        if (closed_) return false;
        std::size_t end = pending_.size();
        if (g_script.pauseAfter != 0 && pos_ < g_script.pauseAfter) {
            end = std::min(end, g_script.pauseAfter);
        }
        got = std::min(count, end - std::min(end, pos_));
        std::copy_n(pending_.data() + pos_, got, static_cast<std::uint8_t*>(buffer));
        pos_ += got;
        return !g_script.readFails;
    }

    void close() override { closed_ = true; }
    int lastError() const override { return g_script.readFails ? 5 : 0; }

  private:
    kvx::platform::LineSettings line_;
    kvx::platform::SerialTimeouts timeouts_;
    std::vector<std::uint8_t> pending_;
    std::size_t pos_ = 0;
    bool answered_ = false;
    bool closed_ = false;
};

std::unique_ptr<kvx::platform::SerialDevice> OpenScripted(std::string_view, int& error) {
    error = 0;
    return std::make_unique<ScriptedDevice>();
}

}  // namespace

// Input: byte count asked for, a mode byte, then the answer's bytes. Mode low nibble 0 sends
// the bytes as they are, 0x0F also fails the read with an I/O error, any other value cuts or
// pads the answer to the complete length. A non-zero high nibble pauses the answer after
// 17 bytes per step.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static kvx::bus::BusLink* link = [] {
        kvx::bus::SetSerialDeviceOpener(&OpenScripted);
        auto* l = new kvx::bus::BusLink();
        l->setPortName("COM3");
        return l;
    }();

    const int byteCount = data[0];
    const int low = data[1] & 0x0F;
    std::vector<std::uint8_t> answer(data + 2, data + size);
    const std::size_t complete = static_cast<std::size_t>(byteCount) + kvx::bus::kLongFrameOverhead;
    if (low != 0) answer.resize(complete, kvx::bus::kEndChar);
    if (answer.size() > 600) answer.resize(600);
    g_script =
        Script{std::move(answer), static_cast<std::size_t>(data[1] >> 4) * 17, low == 0x0F, 0};

    // A guard zone behind the caller's block shows any write past it.
    std::array<std::uint8_t, 256 + 64> destination;
    destination.fill(0xA5);
    const std::int32_t result = link->BusReadBlock(destination.data(), 3, 0x10, byteCount, 0);

    if (g_script.requestBytes != kvx::bus::kShortFrameLength) std::abort();
    if (result < 0 || result > static_cast<std::int32_t>(kvx::bus::kMaxFrameLength)) std::abort();
    if (g_script.readFails && result != 0) std::abort();
    for (std::size_t i = static_cast<std::size_t>(byteCount); i < destination.size(); ++i) {
        if (destination[i] != 0xA5) std::abort();
    }
    return 0;
}
