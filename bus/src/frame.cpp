#include "kvx/bus/frame.h"

#include <algorithm>

namespace kvx::bus {

std::uint8_t ByteSum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
    return sum;
}

std::uint8_t HeaderCheck(std::uint8_t start, std::uint8_t busAddress, std::uint8_t dataAddress,
                         std::uint8_t zeroByte, std::uint8_t byteCount) {
    const std::uint8_t header[] = {start, busAddress, dataAddress, zeroByte, byteCount};
    return ByteSum(header);
}

std::array<std::uint8_t, kShortFrameLength> BuildShortFrame(int busAddress, int dataAddress,
                                                            int zeroByte, int byteCount) {
    const auto a = static_cast<std::uint8_t>(busAddress);
    const auto d = static_cast<std::uint8_t>(dataAddress);
    const auto z = static_cast<std::uint8_t>(zeroByte);
    const auto n = static_cast<std::uint8_t>(byteCount);
    return {0x00,    0x00, 0x00, kShortStart, a, d, z, n, HeaderCheck(kShortStart, a, d, z, n),
            kEndChar};
}

std::size_t BuildLongFrame(std::span<std::uint8_t> out, int busAddress, int dataAddress,
                           int zeroByte, std::span<const std::uint8_t> data) {
    const auto a = static_cast<std::uint8_t>(busAddress);
    const auto d = static_cast<std::uint8_t>(dataAddress);
    const auto z = static_cast<std::uint8_t>(zeroByte);
    const auto n = static_cast<std::uint8_t>(data.size());
    const std::size_t length = data.size() + kLongFrameOverhead;
    if (out.size() < length) return 0;
    out[0] = out[1] = out[2] = 0x00;
    out[3] = kLongStart;
    out[4] = a;
    out[5] = d;
    out[6] = z;
    out[7] = n;
    out[8] = HeaderCheck(kLongStart, a, d, z, n);
    std::copy(data.begin(), data.end(), out.begin() + 9);
    out[9 + data.size()] = ByteSum(data);
    out[10 + data.size()] = kEndChar;
    return length;
}

}  // namespace kvx::bus
