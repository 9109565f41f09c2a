// Write requests: turns the host's value into the tag's bytes and sends them to the member at
// once, from the caller's thread. Nothing is reported back to the host.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "fenlodrv/oleauto.h"
#include "kvx/bus/frame.h"
#include "kvx/platform/codepage.h"
#include "runtime.h"
#include "value_codec.h"
#include "variant_values.h"

namespace kvx::driver {

namespace {

// Longest tag a write can carry: the longest registered length (127) fits one block.
constexpr std::size_t kOutputSize = 127;
static_assert(kOutputSize <= bus::kMaxBlockBytes);
using OutputBuffer = std::array<std::uint8_t, kOutputSize>;

std::string WithoutBlanks(std::string text) {
    std::erase(text, ' ');
    return text;
}

// Places byte n of the text (n = 0 first) into the output: factor 0 fills from the end, as the
// text shows the last byte first.
void PlaceTextByte(OutputBuffer& out, const TagDescriptor& tag, int n, std::uint8_t byte) {
    const int index = tag.factor == 0.0f ? tag.length - 1 - n : n;
    out[static_cast<std::size_t>(index)] = byte;
}

bool EncodeHex(const TagDescriptor& tag, const VARIANT& value, OutputBuffer& out) {
    std::string text = WithoutBlanks(VariantAnsiText(value));
    if (text.size() != 2 * static_cast<std::size_t>(tag.length)) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (int n = 0; n < tag.length; ++n) {
        const int high = nibble(text[2 * n]);
        const int low = nibble(text[2 * n + 1]);
        if (high < 0 || low < 0) return false;
        PlaceTextByte(out, tag, n, static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

bool EncodeBin(const TagDescriptor& tag, const VARIANT& value, OutputBuffer& out) {
    std::string text = WithoutBlanks(VariantAnsiText(value));
    if (text.size() != 8 * static_cast<std::size_t>(tag.length)) return false;
    for (int n = 0; n < tag.length; ++n) {
        unsigned byte = 0;
        for (int bit = 0; bit < 8; ++bit) {
            const char c = text[8 * n + bit];
            if (c != '0' && c != '1') return false;
            byte = (byte << 1) | static_cast<unsigned>(c - '0');
        }
        PlaceTextByte(out, tag, n, static_cast<std::uint8_t>(byte));
    }
    return true;
}

void EncodeString(const TagDescriptor& tag, const VARIANT& value, OutputBuffer& out) {
    const std::string oem = platform::AnsiToOem(VariantAnsiText(value));
    for (int i = 0; i < tag.length; ++i) {
        const auto index = static_cast<std::size_t>(i);
        out[index] = index < oem.size() ? static_cast<std::uint8_t>(oem[index]) : ' ';
    }
}

void PutBigEndian(OutputBuffer& out, std::uint32_t bits, int count) {
    for (int i = 0; i < count; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * (count - 1 - i)));
    }
}

// The divisor of `float` and `float2` writes. The divisor byte is read unsigned here.
std::optional<float> WriteDivisor(DriverState& state, const TagDescriptor& tag) {
    if (tag.factor != 0.0f) return tag.factor;
    if (!ByteRangeFits(tag.divoffset, 1, kImageBlockSize)) return std::nullopt;
    std::uint8_t divisor = 0;
    {
        std::lock_guard lock(state.imageLock);
        divisor = state.image[tag.member][static_cast<std::size_t>(tag.divoffset)];
    }
    return 1.0f / static_cast<float>(divisor);  // 0 gives an infinite divisor: raw 0
}

// Fills `out` with the tag's bytes; false when there is nothing to send.
bool Encode(DriverState& state, const TagDescriptor& tag, const VARIANT& value, OutputBuffer& out) {
    switch (tag.dtype) {
        case DtypeCode::Char: {
            const auto number = VariantNumber(value, VT_UI1);
            const auto bits = number ? RoundToLowBits(*number) : std::nullopt;
            if (!bits) return false;
            out[0] = static_cast<std::uint8_t>(*bits);
            return true;
        }
        case DtypeCode::Int:
        case DtypeCode::Uint:
        case DtypeCode::Password: {
            const auto number = VariantNumber(value, tag.dtype == DtypeCode::Int ? VT_I2 : VT_UI2);
            const auto bits = number ? RoundToLowBits(*number) : std::nullopt;
            if (!bits) return false;
            PutBigEndian(out, *bits & 0xFFFF, 2);
            return true;
        }
        case DtypeCode::Long:
        case DtypeCode::Ulong: {
            const auto number = VariantNumber(value, tag.dtype == DtypeCode::Long ? VT_I4 : VT_UI4);
            const auto bits = number ? RoundToLowBits(*number) : std::nullopt;
            if (!bits) return false;
            PutBigEndian(out, *bits, 4);
            return true;
        }
        case DtypeCode::Float:
        case DtypeCode::Float2: {
            const bool littleEndian = tag.dtype == DtypeCode::Float;
            if (littleEndian && tag.length != 2 && tag.length != 4) return false;
            const auto number = VariantNumber(value, VT_R4);
            const auto divisor = WriteDivisor(state, tag);
            if (!number || !divisor) return false;
            const float scaled = static_cast<float>(*number) / *divisor;
            if (littleEndian && tag.length == 2) {
                const auto raw = RoundToLowBits(scaled);
                if (!raw) return false;
                PutBigEndian(out, *raw & 0xFFFF, 2);
                return true;
            }
            const auto bits = std::bit_cast<std::uint32_t>(scaled);
            if (littleEndian) {
                for (int i = 0; i < 4; ++i)
                    out[static_cast<std::size_t>(i)] = (bits >> (8 * i)) & 0xFF;
            } else {
                PutBigEndian(out, bits, 4);
            }
            return true;
        }
        case DtypeCode::String:
            EncodeString(tag, value, out);
            return true;
        case DtypeCode::S5Time: {
            const auto number = VariantNumber(value, VT_R4);
            const auto bytes = number ? EncodeS5Time(static_cast<float>(*number)) : std::nullopt;
            if (!bytes) return false;
            PutBigEndian(out, *bytes, 2);
            return true;
        }
        case DtypeCode::Hex:
            return EncodeHex(tag, value, out);
        case DtypeCode::Bin:
            return EncodeBin(tag, value, out);
        default:
            return false;  // bool, timeout, DEVICE_ID and unknown types are never written
    }
}

// The write scaling: the engineering value back to the member's raw value, in place.
void ApplyWriteScaling(const TagDescriptor& tag, VARIANT& value) {
    float start = 0.0f;
    float end = 0.0f;
    float factor = 0.0f;
    {
        std::lock_guard lock(ScaleValuesLock());
        start = static_cast<float>(tag.scale->rangeStart);
        end = static_cast<float>(tag.scale->rangeEnd);
        factor = static_cast<float>(tag.scale->factor);
    }
    const float span = end - start;
    if (tag.dtype == DtypeCode::Bool) {
        if (factor < 0.0f) value.value.boolVal = value.value.boolVal == 0 ? 1 : 0;
        return;
    }
    const auto number = VariantNumber(value, VT_R4);
    if (!number) return;
    double raw = 0.0;
    if (span != 0.0f && factor != 0.0f) {
        raw = (static_cast<double>(static_cast<float>(*number)) - start) / span * 100.0 / factor;
    }
    const auto bits = RoundToLowBits(raw);
    switch (tag.dtype) {
        case DtypeCode::Int:
            value.vt = VT_I2;
            value.value.iVal = static_cast<std::int16_t>(bits.value_or(0) & 0xFFFF);
            break;
        case DtypeCode::Uint:
            value.vt = VT_UI2;
            value.value.uiVal = static_cast<std::uint16_t>(bits.value_or(0) & 0xFFFF);
            break;
        case DtypeCode::Long:
            value.vt = VT_I4;
            value.value.lVal = static_cast<std::int32_t>(bits.value_or(0));
            break;
        case DtypeCode::Ulong:
            value.vt = VT_UI4;
            value.value.ulVal = bits.value_or(0);
            break;
        case DtypeCode::Float:
            value.vt = VT_R4;
            value.value.fltVal = static_cast<float>(raw);
            break;
        default:
            break;
    }
}

// True when the member's password state already holds the unlock code.
bool MemberUnlocked(DriverState& state, const MemberRecord& member, std::uint8_t address) {
    const PasswordEntry& entry = member.password;
    if (!ByteRangeFits(entry.readoffset, entry.length, kImageBlockSize)) return false;
    std::array<std::uint8_t, kImageBlockSize> copy{};
    std::size_t size = 0;
    {
        std::lock_guard lock(state.imageLock);
        const std::uint8_t* bytes = state.image[address].data() + entry.readoffset;
        while (size < static_cast<std::size_t>(entry.length) && bytes[size] != 0) {
            copy[size] = bytes[size];
            ++size;
        }
    }
    return size == kWriteUnlockCode.size() && copy[0] == kWriteUnlockCode[0] &&
           copy[1] == kWriteUnlockCode[1];
}

}  // namespace

std::optional<std::uint16_t> EncodeS5Time(float seconds) {
    if (!(seconds >= 0.0f) || seconds > 9990.0f) return std::nullopt;
    static constexpr float kScale[] = {100.0f, 10.0f, 1.0f, 0.1f};
    static constexpr float kRangeEnd[] = {10.0f, 100.0f, 1000.0f};
    int base = 0;
    while (base < 3 && seconds >= kRangeEnd[base]) ++base;
    auto count = static_cast<int>(std::floor(seconds * kScale[base] + 0.5f));
    if (count >= 1000 && base < 3) {
        // Rounds up into the next range: encode by the next range's rule (three digits).
        ++base;
        count = static_cast<int>(std::floor(seconds * kScale[base] + 0.5f));
    }
    const int digits = (count / 100) * 256 + ((count % 100) / 10) * 16 + count % 10;
    return static_cast<std::uint16_t>(base * 16 * 256 + digits);
}

std::optional<std::uint32_t> RoundToLowBits(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    const double rounded = std::round(value);  // half away from zero
    const double wrapped = std::fmod(rounded, 4294967296.0);
    const double positive = wrapped < 0 ? wrapped + 4294967296.0 : wrapped;
    return static_cast<std::uint32_t>(positive);
}

void EncodeAndWriteTagValue(DriverState& state, const TagDescriptor& tag, VARIANT& value) {
    if (tag.member >= kMemberCount) return;
    const MemberRecord& member = state.members[tag.member];

    if (member.password.flag != 0 && !MemberUnlocked(state, member, tag.member)) {
        state.bus.BusWriteBlock(kWriteUnlockCode.data(), tag.member, kWriteUnlockAddress,
                                static_cast<int>(kWriteUnlockCode.size()), 0);
    }
    if (tag.fscale == 1 && tag.scale) ApplyWriteScaling(tag, value);

    // A data address is one byte on the bus: an offset beyond it would land elsewhere in the
    // member, so such a tag is not written at all.
    if (tag.length <= 0 || tag.writeoffset < 0 || tag.writeoffset > 0xFF) return;
    OutputBuffer out{};
    if (!Encode(state, tag, value, out)) return;
    state.bus.BusWriteBlock(out.data(), tag.member, tag.writeoffset, tag.length, 0);
}

}  // namespace kvx::driver
