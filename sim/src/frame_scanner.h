#pragma once
// Incremental frame finder for the member side of the line: bytes go in as they arrive,
// complete and well-formed frames come out. Anything else is garbage, and the scanner
// resynchronises on the next preamble and start character.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kvx/sim/simulator.h"

namespace kvx::sim::detail {

struct ScannedFrame {
    FrameKind kind = FrameKind::Read;
    std::uint8_t address = 0;
    std::uint8_t dataAddress = 0;
    std::uint8_t zeroByte = 0;
    std::uint8_t byteCount = 0;
    std::vector<std::uint8_t> data;  // writes only
    std::vector<std::uint8_t> raw;   // the frame as it arrived
};

class FrameScanner {
  public:
    void feed(const std::uint8_t* bytes, std::size_t count);
    // The next complete, well-formed frame; garbage before it is dropped. nullopt when no
    // complete frame is buffered (an incomplete one may be waiting for its rest).
    std::optional<ScannedFrame> next();
    // The line has gone quiet: an incomplete frame will never be completed, so give up on it
    // and look for a frame that starts later in the buffered bytes.
    std::optional<ScannedFrame> idle();
    bool pending() const { return !buffer_.empty(); }
    std::size_t buffered() const { return buffer_.size(); }
    void reset() { buffer_.clear(); }

  private:
    std::vector<std::uint8_t> buffer_;
};

}  // namespace kvx::sim::detail
