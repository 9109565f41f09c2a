// Arbitrary line bytes into the member-side frame finder: every frame it yields must be
// well-formed (rebuilding it from its fields gives the bytes it came from), and the buffer
// never holds more than one frame's worth of unfinished bytes plus the last chunk.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frame_scanner.h"
#include "kvx/bus/frame.h"

namespace {

void check(const kvx::sim::detail::ScannedFrame& f) {
    std::vector<std::uint8_t> rebuilt;
    if (f.kind == kvx::sim::FrameKind::Read) {
        auto s = kvx::bus::BuildShortFrame(f.address, f.dataAddress, f.zeroByte, f.byteCount);
        rebuilt.assign(s.begin(), s.end());
    } else {
        if (f.data.size() != f.byteCount) std::abort();
        rebuilt.resize(f.data.size() + kvx::bus::kLongFrameOverhead);
        kvx::bus::BuildLongFrame(rebuilt, f.address, f.dataAddress, f.zeroByte, f.data);
    }
    if (rebuilt != f.raw) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kvx::sim::detail::FrameScanner scanner;
    // The first byte decides the chunk size, so frames also arrive split.
    const std::size_t chunk = size ? 1 + data[0] % 32 : 1;
    for (std::size_t at = size ? 1 : 0; at < size; at += chunk) {
        const std::size_t n = at + chunk <= size ? chunk : size - at;
        scanner.feed(data + at, n);
        while (auto f = scanner.next()) check(*f);
        if (scanner.buffered() > kvx::bus::kMaxBlockBytes + 255 + chunk) std::abort();
    }
    while (auto f = scanner.idle()) check(*f);
    return 0;
}
