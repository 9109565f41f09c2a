#pragma once
// Small pieces shared by the value decoder and encoder: range checks, byte orders, S5TIME.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "kvx/config/device_description.h"

namespace kvx::driver {

// True when `count` bytes from `offset` lie inside a buffer of `size` bytes (count >= 0).
constexpr bool ByteRangeFits(std::int64_t offset, std::int64_t count, std::size_t size) {
    return offset >= 0 && count >= 0 && offset + count <= static_cast<std::int64_t>(size);
}

// `count` (1..4) bytes, most significant first.
inline std::uint32_t ReadBigEndian(const std::uint8_t* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// `count` (1..4) bytes, least significant first.
inline std::uint32_t ReadLittleEndian(const std::uint8_t* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// Seconds of the two S5TIME bytes (time base in bits 4-5 of the first, three BCD digits).
float DecodeS5Time(std::uint8_t b0, std::uint8_t b1);

// The two S5TIME bytes for `seconds`; nothing for negative values, values above 9990 s and
// values that are not a number.
std::optional<std::uint16_t> EncodeS5Time(float seconds);

// The single-precision value of `number`; nothing when it is not finite there.
std::optional<float> FiniteFloat(double number);

// True when values of `dtype` are ever written to the bus (bool, timeout, DEVICE_ID and unknown
// types are not).
bool HasWriteEncoding(config::DtypeCode dtype);

// True when `number` is zero or a normal number in single precision (not denormal, finite).
bool NormalOrZeroFloat(double number);

// True when a range start, end and factor make a scaling that the read and write scaling can
// use in the single precision they compute with: all three finite and none denormal, the
// factor and the span
// (end - start) finite and non-zero, and the gain span x factor / 100 finite and non-zero both
// ways. Anything else turns every write into 0 or a value that is not finite.
bool ScalingUsable(double start, double end, double factor);

}  // namespace kvx::driver
