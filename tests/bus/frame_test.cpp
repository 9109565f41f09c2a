#include "kvx/bus/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kvx::bus {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes shortFrame(int a, int d, int z, int n) {
    auto f = BuildShortFrame(a, d, z, n);
    return Bytes(f.begin(), f.end());
}

Bytes longFrame(int a, int d, const Bytes& data) {
    std::array<std::uint8_t, kMaxFrameLength> out{};
    const std::size_t n = BuildLongFrame(out, a, d, 0, data);
    return Bytes(out.begin(), out.begin() + static_cast<long>(n));
}

TEST(Frames, ReadRequestGoldenBytes) {
    EXPECT_EQ(shortFrame(5, 0x20, 0, 16),
              (Bytes{0x00, 0x00, 0x00, 0x10, 0x05, 0x20, 0x00, 0x10, 0x45, 0x16}));
    // The scan tool's presence probe of member 5.
    EXPECT_EQ(shortFrame(5, 0, 0, 10),
              (Bytes{0x00, 0x00, 0x00, 0x10, 0x05, 0x00, 0x00, 0x0A, 0x1F, 0x16}));
}

TEST(Frames, HeaderCheckWrapsPast255) {
    EXPECT_EQ(shortFrame(31, 0xFF, 0, 0x10)[8], 0x3E);
}

TEST(Frames, OnlyTheLowEightBitsOfEachFieldAreSent) {
    EXPECT_EQ(shortFrame(0x105, 0x120, 0x100, 0x110), shortFrame(5, 0x20, 0, 0x10));
}

TEST(Frames, WriteFramesGoldenBytes) {
    EXPECT_EQ(longFrame(5, 0x40, {0x12, 0x34}), (Bytes{0x00, 0x00, 0x00, 0x68, 0x05, 0x40, 0x00,
                                                       0x02, 0xAF, 0x12, 0x34, 0x46, 0x16}));
    EXPECT_EQ(longFrame(1, 2, {0xFF}),
              (Bytes{0x00, 0x00, 0x00, 0x68, 0x01, 0x02, 0x00, 0x01, 0x6C, 0xFF, 0xFF, 0x16}));
}

TEST(Frames, LargestLongFrameIs256Bytes) {
    Bytes data(kMaxBlockBytes, 0x01);
    const Bytes frame = longFrame(3, 0, data);
    ASSERT_EQ(frame.size(), 256u);
    EXPECT_EQ(frame[7], 245);
    EXPECT_EQ(frame[254], static_cast<std::uint8_t>(245));  // data check: 245 x 1
    EXPECT_EQ(frame[255], kEndChar);
}

TEST(Frames, LongFrameRefusesATooSmallBuffer) {
    std::array<std::uint8_t, 12> out{};
    const Bytes two{1, 2};
    EXPECT_EQ(BuildLongFrame(out, 1, 2, 0, two), 0u);
}

TEST(ByteSum, WrapsModulo256WithoutCarryOrComplement) {
    const Bytes none;
    EXPECT_EQ(ByteSum(none), 0);
    const Bytes wrap{0xFF, 0x02};
    EXPECT_EQ(ByteSum(wrap), 0x01);
}

}  // namespace
}  // namespace kvx::bus
