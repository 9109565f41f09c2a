#pragma once
// The tool's own bus access: each FetchBlock opens the port with the tool's line settings,
// sends one read request, takes the answer within the answer timeout and closes the port
// again, so the port is free between transactions.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "kvx/platform/serial_device.h"

namespace kvx::scantool {

inline constexpr int kReceiveAreaSize = 256;
// Largest byte count whose answer (byte count + 11) fits the receive area.
inline constexpr int kMaxFetchBytes = kReceiveAreaSize - 11;

// Transfer time of `bytes` bytes on the bus in whole milliseconds (11 bit times per byte at
// 19200 baud), truncated.
int AnswerTime(int bytes);

// Answer timeout of a request for `byteCount` data bytes: request delay + transfer time of
// the answer frame. A huge request delay or byte count gives the longest timeout, never a
// wrapped one.
inline int AnswerTimeout(int requestDelay, int byteCount) {
    constexpr long long kIntMax = std::numeric_limits<int>::max();
    const auto answerBytes = static_cast<int>(std::min<long long>(byteCount + 11LL, kIntMax));
    const long long total = static_cast<long long>(requestDelay) + AnswerTime(answerBytes);
    return static_cast<int>(std::clamp<long long>(total, std::numeric_limits<int>::min(), kIntMax));
}

// The 10-byte read request for one block.
std::array<std::uint8_t, 10> ShortFrame(int busAddress, int dataAddress, int byteCount,
                                        int zeroByte);

// Device control block of the tool: 19200 8E1, parity checked with error replacement,
// DTR off, RTS on, abort on error, event character 0x16.
platform::LineSettings ToolLineSettings();

class ToolBus {
  public:
    using MessageSink = std::function<void(std::string_view text, std::string_view caption)>;

    ToolBus() = default;
    // Where the warning about refused line settings goes.
    void SetMessageSink(MessageSink sink) { messages_ = std::move(sink); }

    // The port name and the answer timeout of the next transaction (ms).
    std::string portName = "COM1";
    int answerTimeout = 400;

    // -1 when the port cannot be opened, else a non-negative system code.
    int OpenComPort(std::string_view name);
    void CloseComPort();

    // One read request to `busAddress`; returns -1 when the port cannot be opened, else the
    // number of bytes received (0 .. byteCount + 11). The data bytes of the answer (from
    // offset 9 of the answer on) are copied to `destination` as far as they arrived.
    // The exchange ends on a quiet line, so that nothing of it reaches the next one: after a
    // complete answer no further byte may come within kQuietAfterAnswerMs (under two
    // character times), after the answer timeout none within kQuietIntervalMs; bytes that
    // do come are dropped until the line has been quiet for kQuietIntervalMs.
    int FetchBlock(std::span<std::uint8_t> destination, int busAddress, int dataAddress,
                   int byteCount, int zeroByte);
    // Bytes the last FetchBlock dropped after its answer or its timeout.
    int lastDropped() const { return lastDropped_; }

    static constexpr std::uint32_t kQuietAfterAnswerMs = 1;
    static constexpr std::uint32_t kQuietIntervalMs = 20;
    // A line that never falls quiet is left after this long.
    static constexpr std::uint32_t kMaxDropMs = 1000;

  private:
    void DropUntilQuiet(std::uint32_t firstWindowMs);

    std::unique_ptr<platform::SerialDevice> port_;
    MessageSink messages_;
    int lastDropped_ = 0;
};

}  // namespace kvx::scantool
