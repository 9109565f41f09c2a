#include "frame_scanner.h"

#include <algorithm>
#include <span>

#include "kvx/bus/frame.h"

namespace kvx::sim::detail {

namespace {

bool isStart(std::uint8_t b) {
    return b == bus::kShortStart || b == bus::kLongStart;
}

// Index of the first start character preceded by three zero bytes, or npos.
std::size_t findStart(const std::vector<std::uint8_t>& buf) {
    for (std::size_t i = bus::kPreambleLength; i < buf.size(); ++i) {
        if (isStart(buf[i]) && buf[i - 1] == 0 && buf[i - 2] == 0 && buf[i - 3] == 0) return i;
    }
    return std::vector<std::uint8_t>::size_type(-1);
}

}  // namespace

void FrameScanner::feed(const std::uint8_t* bytes, std::size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

std::optional<ScannedFrame> FrameScanner::next() {
    constexpr auto npos = std::vector<std::uint8_t>::size_type(-1);
    for (;;) {
        const std::size_t start = findStart(buffer_);
        if (start == npos) {
            // Keep a tail that may still grow into a preamble.
            std::size_t keep = 0;
            while (keep < bus::kPreambleLength && keep < buffer_.size() &&
                   buffer_[buffer_.size() - 1 - keep] == 0) {
                ++keep;
            }
            buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<std::ptrdiff_t>(keep));
            return std::nullopt;
        }
        buffer_.erase(buffer_.begin(),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(start - bus::kPreambleLength));
        // buffer_[0..2] preamble, [3] start, [4] address, [5] data address, [6] zero byte,
        // [7] byte count, [8] header check.
        const std::uint8_t startChar = buffer_[3];
        const std::size_t headerEnd = 9;
        if (buffer_.size() < headerEnd) return std::nullopt;
        const std::uint8_t count = buffer_[7];
        const bool headerOk =
            count != 0 &&
            buffer_[8] == bus::HeaderCheck(startChar, buffer_[4], buffer_[5], buffer_[6], count);
        std::size_t length = 0;
        if (headerOk) {
            length = startChar == bus::kShortStart ? bus::kShortFrameLength
                                                   : count + bus::kLongFrameOverhead;
            if (buffer_.size() < length) return std::nullopt;
        }
        bool ok = headerOk && buffer_[length - 1] == bus::kEndChar;
        if (ok && startChar == bus::kLongStart) {
            std::span<const std::uint8_t> data(buffer_.data() + headerEnd, count);
            ok = buffer_[headerEnd + count] == bus::ByteSum(data);
        }
        if (!ok) {
            // Not a frame after all: look for the next start behind this one.
            buffer_.erase(buffer_.begin());
            continue;
        }
        ScannedFrame frame;
        frame.kind = startChar == bus::kShortStart ? FrameKind::Read : FrameKind::Write;
        frame.address = buffer_[4];
        frame.dataAddress = buffer_[5];
        frame.zeroByte = buffer_[6];
        frame.byteCount = count;
        if (frame.kind == FrameKind::Write) {
            frame.data.assign(buffer_.begin() + headerEnd, buffer_.begin() + headerEnd + count);
        }
        frame.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
        return frame;
    }
}

std::optional<ScannedFrame> FrameScanner::idle() {
    while (!buffer_.empty()) {
        buffer_.erase(buffer_.begin());
        if (auto frame = next()) return frame;
    }
    return std::nullopt;
}

}  // namespace kvx::sim::detail
