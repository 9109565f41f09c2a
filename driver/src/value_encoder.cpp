// Write requests: turns the host's value into the tag's bytes and sends them to the member at
// once, from the caller's thread, and tells the host what became of the value.

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "fenlodrv/oleauto.h"
#include "kvx/bus/frame.h"
#include "kvx/platform/codepage.h"
#include "notifier.h"
#include "runtime.h"
#include "value_codec.h"
#include "variant_values.h"

namespace kvx::driver {

namespace {

// Longest tag a write can carry: the longest registered length (127) fits one block.
constexpr std::size_t kOutputSize = 127;
static_assert(kOutputSize <= bus::kMaxBlockBytes);
using OutputBuffer = std::array<std::uint8_t, kOutputSize>;

// What the encoder made of a value: bytes to send, nothing to send (types without an
// encoding), or a refusal with its reason as the message gives it and the outcome the host
// is told.
struct Encoded {
    enum class Kind { Bytes, Nothing, Refused };
    Kind kind = Kind::Nothing;
    std::string why;
    std::uint16_t outcome = SOXPS_WRITE_NOT_WRITABLE;
};

Encoded Bytes() {
    return {Encoded::Kind::Bytes, {}, SOXPS_WRITE_ACKNOWLEDGED};
}
Encoded Refused(std::string why, std::uint16_t outcome) {
    return {Encoded::Kind::Refused, std::move(why), outcome};
}
Encoded NotWritable(std::string why) {
    return Refused(std::move(why), SOXPS_WRITE_NOT_WRITABLE);
}
Encoded OutOfRange(std::string why) {
    return Refused(std::move(why), SOXPS_WRITE_OUT_OF_RANGE);
}
Encoded WrongKind(std::string why) {
    return Refused(std::move(why), SOXPS_WRITE_TYPE_MISMATCH);
}
Encoded NoCurrentData(std::string why) {
    return Refused(std::move(why), SOXPS_WRITE_NO_COMMUNICATION);
}

// Width and value range of the integer encodings. A `password` value is a 16-bit code that
// hosts may pass signed or unsigned.
struct IntegerLayout {
    const char* dtype;
    int width;
    std::int64_t low;
    std::int64_t high;
    VARTYPE type;  // the VARIANT type the value is read in, and the write scaling gives
};

std::optional<IntegerLayout> IntegerLayoutOf(DtypeCode dtype) {
    switch (dtype) {
        case DtypeCode::Char:
            return IntegerLayout{"char", 1, 0, 0xFF, VT_UI1};
        case DtypeCode::Int:
            return IntegerLayout{"int", 2, INT16_MIN, INT16_MAX, VT_I2};
        case DtypeCode::Uint:
            return IntegerLayout{"uint", 2, 0, UINT16_MAX, VT_UI2};
        case DtypeCode::Password:
            return IntegerLayout{"password", 2, INT16_MIN, UINT16_MAX, VT_UI2};
        case DtypeCode::Long:
            return IntegerLayout{"long", 4, INT32_MIN, INT32_MAX, VT_I4};
        case DtypeCode::Ulong:
            return IntegerLayout{"ulong", 4, 0, UINT32_MAX, VT_UI4};
        default:
            return std::nullopt;
    }
}

// The number rounded half away from zero, when it lies in low..high.
std::optional<std::int64_t> RoundIntoRange(double number, std::int64_t low, std::int64_t high) {
    if (!std::isfinite(number)) return std::nullopt;
    const double rounded = std::round(number);
    if (rounded < static_cast<double>(low) || rounded > static_cast<double>(high)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(rounded);
}

std::string RangeText(int width, std::int64_t low, std::int64_t high) {
    return fmt::format("it does not fit the tag's {} byte(s) ({} to {})", width, low, high);
}

// Same for the raw value that a value gave (shown rounded, as it would have been sent).
std::string RawOutOfRange(double raw, int width, std::int64_t low, std::int64_t high) {
    return fmt::format("its raw value {} does not fit the tag's {} byte(s) ({} to {})",
                       std::isfinite(raw) ? std::round(raw) : raw, width, low, high);
}

std::string WrongLength(const char* dtype, int width, int length) {
    return fmt::format("a {} value takes {} byte(s), the tag's length is {}", dtype, width, length);
}

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

Encoded EncodeHex(const TagDescriptor& tag, const VARIANT& value, OutputBuffer& out) {
    const std::string text = WithoutBlanks(VariantAnsiText(value));
    const auto digits = 2 * static_cast<std::size_t>(tag.length);
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    const bool hex = std::ranges::all_of(text, [&](char c) { return nibble(c) >= 0; });
    if (text.size() != digits || !hex) {
        return WrongKind(fmt::format("it is not a text of {} hex digits", digits));
    }
    for (int n = 0; n < tag.length; ++n) {
        PlaceTextByte(
            out, tag, n,
            static_cast<std::uint8_t>(nibble(text[2 * n]) * 16 + nibble(text[2 * n + 1])));
    }
    return Bytes();
}

Encoded EncodeBin(const TagDescriptor& tag, const VARIANT& value, OutputBuffer& out) {
    const std::string text = WithoutBlanks(VariantAnsiText(value));
    const auto digits = 8 * static_cast<std::size_t>(tag.length);
    const bool bits = std::ranges::all_of(text, [](char c) { return c == '0' || c == '1'; });
    if (text.size() != digits || !bits) {
        return WrongKind(fmt::format("it is not a text of {} binary digits", digits));
    }
    for (int n = 0; n < tag.length; ++n) {
        unsigned byte = 0;
        for (int bit = 0; bit < 8; ++bit) {
            byte = (byte << 1) | static_cast<unsigned>(text[8 * n + bit] - '0');
        }
        PlaceTextByte(out, tag, n, static_cast<std::uint8_t>(byte));
    }
    return Bytes();
}

// The text a `string` tag is written with. A number is written as its decimal text, as OPC
// servers convert numbers to texts; an empty or absent text is the empty text (all blanks).
Encoded TextOfValue(const VARIANT& value, std::u16string& text) {
    text.clear();
    switch (value.vt) {
        case VT_EMPTY:
            return Bytes();
        case VT_BSTR:
            if (value.value.bstrVal != nullptr) {
                text.assign(reinterpret_cast<const char16_t*>(value.value.bstrVal),
                            SysStringLen(value.value.bstrVal));
            }
            return Bytes();
        case VT_R4:
            if (!std::isfinite(value.value.fltVal)) return OutOfRange("it is not a finite number");
            return text = platform::AnsiToUtf16(fmt::format("{}", value.value.fltVal)), Bytes();
        case VT_R8:
            if (!std::isfinite(value.value.dblVal)) return OutOfRange("it is not a finite number");
            return text = platform::AnsiToUtf16(fmt::format("{}", value.value.dblVal)), Bytes();
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
            text = platform::AnsiToUtf16(
                fmt::format("{}", static_cast<std::int64_t>(*VariantNumber(value, value.vt))));
            return Bytes();
        default:
            return WrongKind(fmt::format("a value of VARIANT type {} is no text", value.vt));
    }
}

Encoded EncodeString(DriverState& state, const TagDescriptor& tag, const VARIANT& value,
                     OutputBuffer& out) {
    std::u16string text;
    if (Encoded made = TextOfValue(value, text); made.kind == Encoded::Kind::Refused) return made;
    // A NUL would end the text early on the device, or show as a character it is not.
    if (text.find(u'\0') != std::u16string::npos) {
        return OutOfRange("the text holds a NUL character");
    }
    const std::string ansi = platform::Utf16ToAnsi(text);
    const std::string oem = platform::AnsiToOem(ansi);
    // Characters the device's code page has no form for go out as "?": said once per tag.
    if ((platform::AnsiToUtf16(ansi) != text || platform::OemToAnsi(oem) != ansi) &&
        state.writeRefusals.first(tag, "code page")) {
        Notify(kWriteErrorCaption,
               fmt::format("{}: the text written holds characters that the device's code page "
                           "(850) has no form for; they are sent as \"?\"",
                           tag.name));
    }
    for (int i = 0; i < tag.length; ++i) {
        const auto index = static_cast<std::size_t>(i);
        out[index] = index < oem.size() ? static_cast<std::uint8_t>(oem[index]) : ' ';
    }
    return Bytes();
}

void PutBigEndian(OutputBuffer& out, std::uint32_t bits, int count) {
    for (int i = 0; i < count; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * (count - 1 - i)));
    }
}

// The divisor of `float` and `float2` writes, or why there is none. A divisor from the image
// needs a byte of the member's current data: before its first accepted poll, after its image
// block was cleared, while its polls have bad quality or after its identification was
// rejected (another device may answer there), the byte is not the member's and would put a
// made-up value on the bus. Reads take the byte as signed: a byte above 127 would read back
// other than written, so such a divisor takes no writes.
Encoded WriteDivisor(DriverState& state, const TagDescriptor& tag, float& divisor) {
    if (tag.factor != 0.0f) {
        if (!std::isnormal(tag.factor)) {
            return NotWritable(
                fmt::format("its factor {} is no normal single-precision number", tag.factor));
        }
        divisor = tag.factor;
        return Bytes();
    }
    const MemberRecord& member = state.members[tag.member];
    std::uint8_t byte = 0;
    {
        std::lock_guard lock(state.imageLock);
        if (!ByteRangeFits(tag.divoffset, 1, member.polledBytes())) {
            return NotWritable(
                fmt::format("its divisor byte (divoffset {}) lies outside the member's polled data",
                            tag.divoffset));
        }
        if (!member.imageFromPoll) {
            return NoCurrentData(
                fmt::format("its divisor byte (divoffset {}) has not been read from the member yet",
                            tag.divoffset));
        }
        if (member.errorCounter.load(std::memory_order_relaxed) >= kBadErrorCount ||
            member.identityRejected.load(std::memory_order_relaxed)) {
            return NoCurrentData(
                fmt::format("its divisor byte (divoffset {}) is not from the member's current "
                            "data (its polls fail or another device answers)",
                            tag.divoffset));
        }
        byte = state.image[tag.member][static_cast<std::size_t>(tag.divoffset)];
    }
    if (byte == 0) {
        // An infinite divisor would send 0 whatever was asked.
        return NotWritable(fmt::format("its divisor byte (divoffset {}) is 0", tag.divoffset));
    }
    if (byte > 127) {
        return NotWritable(fmt::format(
            "its divisor byte (divoffset {}) is {}, above 127: reads take it as {}, so the "
            "value would not read back as written",
            tag.divoffset, byte, static_cast<int>(static_cast<std::int8_t>(byte))));
    }
    divisor = 1.0f / static_cast<float>(byte);
    return Bytes();
}

}  // namespace

bool HasWriteEncoding(DtypeCode dtype) {
    switch (dtype) {
        case DtypeCode::Float:
        case DtypeCode::Float2:
        case DtypeCode::String:
        case DtypeCode::S5Time:
        case DtypeCode::Hex:
        case DtypeCode::Bin:
            return true;
        default:
            return IntegerLayoutOf(dtype).has_value();
    }
}

namespace {

// Fills `out` with the tag's bytes (after the write scaling).
Encoded Encode(DriverState& state, const TagDescriptor& tag, const VARIANT& value,
               OutputBuffer& out) {
    if (const auto layout = IntegerLayoutOf(tag.dtype)) {
        if (tag.length != layout->width) {
            return NotWritable(WrongLength(layout->dtype, layout->width, tag.length));
        }
        const auto number = VariantNumber(value, layout->type);
        if (!number) return WrongKind("it is not a number");
        const auto fitted = RoundIntoRange(*number, layout->low, layout->high);
        if (!fitted) {
            return OutOfRange(RangeText(layout->width, layout->low, layout->high));
        }
        PutBigEndian(out, static_cast<std::uint32_t>(*fitted), layout->width);
        return Bytes();
    }
    switch (tag.dtype) {
        case DtypeCode::Float:
        case DtypeCode::Float2: {
            const bool littleEndian = tag.dtype == DtypeCode::Float;
            if (littleEndian ? tag.length != 2 && tag.length != 4 : tag.length != 4) {
                return NotWritable(fmt::format("a {} value has no encoding for the tag's length {}",
                                               littleEndian ? "float" : "float2", tag.length));
            }
            const auto number = VariantNumber(value, VT_R4);
            if (!number) return WrongKind("it is not a number");
            float divisor = 1.0f;
            if (Encoded found = WriteDivisor(state, tag, divisor);
                found.kind == Encoded::Kind::Refused) {
                return found;
            }
            const auto single = FiniteFloat(*number);
            const float scaled = single ? *single / divisor : 0.0f;
            if (!single || !std::isfinite(scaled)) {
                return OutOfRange(fmt::format(
                    "it is no finite single-precision number once divided by {}", divisor));
            }
            if (littleEndian && tag.length == 2) {
                const auto raw = RoundIntoRange(scaled, INT16_MIN, INT16_MAX);
                if (!raw) return OutOfRange(RawOutOfRange(scaled, 2, INT16_MIN, INT16_MAX));
                PutBigEndian(out, static_cast<std::uint32_t>(*raw) & 0xFFFF, 2);
                return Bytes();
            }
            const auto bits = std::bit_cast<std::uint32_t>(scaled);
            if (littleEndian) {
                for (int i = 0; i < 4; ++i)
                    out[static_cast<std::size_t>(i)] = (bits >> (8 * i)) & 0xFF;
            } else {
                PutBigEndian(out, bits, 4);
            }
            return Bytes();
        }
        case DtypeCode::String:
            return EncodeString(state, tag, value, out);
        case DtypeCode::S5Time: {
            if (tag.length != 2) return NotWritable(WrongLength("s5time", 2, tag.length));
            const auto number = VariantNumber(value, VT_R4);
            if (!number) return WrongKind("it is not a number");
            const auto single = FiniteFloat(*number);
            const auto bytes = single ? EncodeS5Time(*single) : std::nullopt;
            if (!bytes) return OutOfRange("an S5TIME value takes 0 to 9990 seconds");
            PutBigEndian(out, *bytes, 2);
            return Bytes();
        }
        case DtypeCode::Hex:
            return EncodeHex(tag, value, out);
        case DtypeCode::Bin:
            return EncodeBin(tag, value, out);
        default:
            return {};  // bool, timeout, DEVICE_ID and unknown types are never written
    }
}

// The write scaling: the engineering value back to the member's raw value, in place. A raw
// value that does not fit the tag, or a scaling that is zero or not finite, is refused and
// leaves the value as the host gave it.
Encoded ApplyWriteScaling(const TagDescriptor& tag, VARIANT& value) {
    double start = 0.0;
    double end = 0.0;
    double factor = 0.0;
    {
        std::lock_guard lock(ScaleValuesLock());
        start = tag.scale->rangeStart;
        end = tag.scale->rangeEnd;
        factor = tag.scale->factor;
    }
    if (tag.dtype == DtypeCode::Bool) {
        if (factor < 0.0) value.value.boolVal = value.value.boolVal == 0 ? 1 : 0;
        return Bytes();
    }
    if (!ScalingUsable(start, end, factor)) {
        return NotWritable(
            fmt::format("the tag's scaling (start {}, end {}, factor {}) is zero or not "
                        "a normal number in single precision",
                        start, end, factor));
    }
    const auto number = VariantNumber(value, VT_R4);
    if (!number) return WrongKind("it is not a number");
    const auto single = FiniteFloat(*number);
    if (!single) return OutOfRange("it is no finite single-precision number");
    const float s = static_cast<float>(start);
    const float span = static_cast<float>(end) - s;
    const double raw =
        (static_cast<double>(*single) - s) / span * 100.0 / static_cast<float>(factor);

    if (tag.dtype == DtypeCode::Float) {
        const auto rawFloat = FiniteFloat(raw);
        if (!rawFloat) {
            return OutOfRange(
                fmt::format("its raw value {} is no finite single-precision number", raw));
        }
        value.vt = VT_R4;
        value.value.fltVal = *rawFloat;
        return Bytes();
    }
    const auto layout = IntegerLayoutOf(tag.dtype);
    if (!layout) return Bytes();  // no other type is scaled
    const auto fitted = RoundIntoRange(raw, layout->low, layout->high);
    if (!fitted) {
        return OutOfRange(RawOutOfRange(raw, layout->width, layout->low, layout->high));
    }
    value.vt = layout->type;
    switch (layout->type) {
        case VT_I2:
            value.value.iVal = static_cast<std::int16_t>(*fitted);
            break;
        case VT_UI2:
            value.value.uiVal = static_cast<std::uint16_t>(*fitted);
            break;
        case VT_I4:
            value.value.lVal = static_cast<std::int32_t>(*fitted);
            break;
        default:
            value.value.ulVal = static_cast<std::uint32_t>(*fitted);
            break;
    }
    return Bytes();
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

// One block write; true when the member acknowledged it. A port that cannot be opened
// (another master holding it, or no such port) loses the write: that is told once per stretch
// of such failures, naming the port. A member that does not answer is told once per tag; its
// later writes are not sent until one of its polls is accepted again.
bool SendBlock(DriverState& state, const TagDescriptor& tag, const std::uint8_t* bytes,
               int dataAddress, int count) {
    const std::int32_t result = state.bus.BusWriteBlock(bytes, tag.member, dataAddress, count, 0);
    if (result != -1) state.writePortFailing.store(false, std::memory_order_relaxed);
    if (result == -1) state.busStats.portOpenFailures.fetch_add(1, std::memory_order_relaxed);
    if (result > 0) return true;
    if (result == 0) {
        state.members[tag.member].writesUnanswered.store(true, std::memory_order_relaxed);
        const std::string text = fmt::format(
            "{}: the member at address {} did not acknowledge the write; writes to it are not "
            "sent until it answers a poll again",
            tag.name, static_cast<int>(tag.member));
        if (state.writeRefusals.first(tag, text)) Notify(kWriteErrorCaption, text);
        return false;
    }
    if (state.writePortFailing.exchange(true, std::memory_order_relaxed)) return false;
    Notify(kWriteErrorCaption,
           fmt::format("writes are not sent: the bus port {} cannot be opened (another program "
                       "may be using it); first lost: {}. Values written until the port opens "
                       "again are lost too.",
                       state.bus.portName(), tag.name));
    return false;
}

void Report(DriverState& state, const TagDescriptor& tag, const std::string& valueText,
            const std::string& why) {
    std::string text = fmt::format("{}: value {} not sent: {}", tag.name, valueText, why);
    if (state.writeRefusals.first(tag, text)) Notify(kWriteErrorCaption, text);
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

std::optional<float> FiniteFloat(double number) {
    // Beyond the largest float the conversion is not defined; it is refused before.
    if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max()) {
        return std::nullopt;
    }
    return static_cast<float>(number);
}

bool NormalOrZeroFloat(double number) {
    const auto single = FiniteFloat(number);
    return single && (*single == 0.0f || std::isnormal(*single));
}

bool ScalingUsable(double start, double end, double factor) {
    const auto s = FiniteFloat(start);
    const auto e = FiniteFloat(end);
    const auto f = FiniteFloat(factor);
    // A denormal value has lost its precision: the scaling would send other values than asked.
    if (!s || !e || !f || !NormalOrZeroFloat(start) || !NormalOrZeroFloat(end) ||
        !std::isnormal(*f)) {
        return false;
    }
    const float span = *e - *s;
    if (!std::isfinite(span) || span == 0.0f) return false;
    // Raw to engineering value and back: both ways must stay finite and non-zero.
    const auto gain = FiniteFloat(static_cast<double>(span) * *f / 100.0);
    return gain && *gain != 0.0f && FiniteFloat(1.0 / *gain).has_value();
}

namespace {

// The write itself; `sent` tells whether a frame went out (acknowledged or not).
std::uint16_t EncodeAndSend(DriverState& state, const TagDescriptor& tag, VARIANT& value,
                            bool& sent) {
    MemberRecord& member = state.members[tag.member];
    const bool locked = member.password.flag != 0 && !MemberUnlocked(state, member, tag.member);

    // Refused values are told by the value the host sent, before the write scaling. The
    // scaling works on a copy: the host's VARIANT stays as sent, so a text it owns never
    // loses its type or its pointer (the host frees it after the batch).
    const VARIANT sentByHost = value;
    VARIANT working = value;
    OutputBuffer out{};
    Encoded encoded;
    if (tag.fscale == 1 && tag.scale) encoded = ApplyWriteScaling(tag, working);
    if (!HasWriteEncoding(tag.dtype)) {
        encoded = {};  // bool, timeout, DEVICE_ID and unknown types are never written
    } else if (encoded.kind != Encoded::Kind::Refused) {
        if (tag.length <= 0 || static_cast<std::size_t>(tag.length) > out.size()) {
            encoded =
                NotWritable(fmt::format("the tag's length {} is not a byte count", tag.length));
        } else {
            encoded = Encode(state, tag, working, out);
        }
    }
    // A data address is one byte on the bus: an offset beyond it would land elsewhere in the
    // member.
    if (encoded.kind == Encoded::Kind::Bytes && (tag.writeoffset < 0 || tag.writeoffset > 0xFF)) {
        encoded = NotWritable(
            fmt::format("its writeoffset {} is no one-byte data address", tag.writeoffset));
    }
    if (encoded.kind == Encoded::Kind::Refused) {
        Report(state, tag, VariantValueText(sentByHost), encoded.why);
        return encoded.outcome;
    }
    if (encoded.kind != Encoded::Kind::Bytes && !locked) return SOXPS_WRITE_NOT_WRITABLE;
    // Each write to a member that has stopped answering would hold the bus for a whole answer
    // time-out, and the other members' polls with it. (The unanswered write was told.)
    if (member.writesUnanswered.load(std::memory_order_relaxed)) {
        return SOXPS_WRITE_NO_COMMUNICATION;
    }
    // A type without an encoding still gets its member unlocked, as every write does.
    sent = true;
    if (locked) {
        const bool unlocked = SendBlock(state, tag, kWriteUnlockCode.data(), kWriteUnlockAddress,
                                        static_cast<int>(kWriteUnlockCode.size()));
        // A locked member would not take the value.
        if (!unlocked) return SOXPS_WRITE_NO_COMMUNICATION;
    }
    if (encoded.kind != Encoded::Kind::Bytes) return SOXPS_WRITE_NOT_WRITABLE;
    return SendBlock(state, tag, out.data(), tag.writeoffset, tag.length)
               ? SOXPS_WRITE_ACKNOWLEDGED
               : SOXPS_WRITE_NO_COMMUNICATION;
}

}  // namespace

std::uint16_t EncodeAndWriteTagValue(DriverState& state, const TagDescriptor& tag, VARIANT& value) {
    if (tag.member >= kMemberCount) return SOXPS_WRITE_NOT_WRITABLE;
    bool sent = false;
    const std::uint16_t outcome = EncodeAndSend(state, tag, value, sent);
    MemberStatistics& stats = state.memberStats[tag.member];
    if (outcome == SOXPS_WRITE_ACKNOWLEDGED) {
        stats.writesAcknowledged.fetch_add(1, std::memory_order_relaxed);
    } else if (sent) {
        stats.writesUnacknowledged.fetch_add(1, std::memory_order_relaxed);
    } else {
        stats.writesRefused.fetch_add(1, std::memory_order_relaxed);
    }
    return outcome;
}

}  // namespace kvx::driver
