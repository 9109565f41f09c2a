#pragma once
// Frames of the field-bus protocol: the 10-byte short frame (read request) and the long frame
// (a block of data, from master to member or back). Pure functions, shared by every master.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kvx::bus {

inline constexpr std::uint8_t kShortStart = 0x10;
inline constexpr std::uint8_t kLongStart = 0x68;
inline constexpr std::uint8_t kEndChar = 0x16;
inline constexpr std::size_t kPreambleLength = 3;
inline constexpr std::size_t kShortFrameLength = 10;
// Overhead of a long frame around its data: preamble, start, four header bytes, header
// check, data check, end character.
inline constexpr std::size_t kLongFrameOverhead = 11;
inline constexpr std::size_t kMaxBlockBytes = 245;
inline constexpr std::size_t kMaxFrameLength = kMaxBlockBytes + kLongFrameOverhead;  // 256

// Sum of the bytes modulo 256 (no complement, no carry).
std::uint8_t ByteSum(std::span<const std::uint8_t> bytes);

// Header check of either frame kind: start character plus the four header bytes.
std::uint8_t HeaderCheck(std::uint8_t start, std::uint8_t busAddress, std::uint8_t dataAddress,
                         std::uint8_t zeroByte, std::uint8_t byteCount);

// The read request for `byteCount` bytes from `dataAddress` of member `busAddress`.
// Only the low 8 bits of each argument are sent.
std::array<std::uint8_t, kShortFrameLength> BuildShortFrame(int busAddress, int dataAddress,
                                                            int zeroByte, int byteCount);

// Writes the long frame carrying `data` into `out` (at least data.size() + 11 bytes) and
// returns its length. The byte count field is the low 8 bits of data.size().
std::size_t BuildLongFrame(std::span<std::uint8_t> out, int busAddress, int dataAddress,
                           int zeroByte, std::span<const std::uint8_t> data);

}  // namespace kvx::bus
