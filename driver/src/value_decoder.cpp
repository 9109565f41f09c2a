// Read requests: turns a tag's bytes in its member's image block into the VARIANT the host
// receives. Reads never touch the bus; they only wait for the image lock.

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "fenlodrv/oleauto.h"
#include "kvx/platform/codepage.h"
#include "notifier.h"
#include "runtime.h"
#include "value_codec.h"

namespace kvx::driver {

namespace {

// Longest text any tag can show: a `bin` tag of the longest registered length (127 bytes of
// eight digits and a blank each), built whole on the stack.
constexpr std::size_t kMaxTextUnits = 127 * 9;

class TextBuffer {
  public:
    void push(char16_t unit) {
        if (size_ < units_.size()) units_[size_++] = unit;
    }
    void dropLast() {
        if (size_ > 0) --size_;
    }
    void trimTrailingBlanks() {
        while (size_ > 0 && units_[size_ - 1] == u' ') --size_;
    }
    // Replaces whatever the VARIANT held by a new text.
    void storeInto(VARIANT& value) const {
        VariantClear(&value);
        value.vt = VT_BSTR;
        value.value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(units_.data()),
                                                static_cast<std::uint32_t>(size_));
    }

  private:
    std::array<char16_t, kMaxTextUnits> units_;
    std::size_t size_ = 0;
};

enum class Decoded {
    Nothing,  // the VARIANT keeps what the host gave
    Integer,  // `integer` holds the decoded raw value (for the read scaling)
    Float,    // value.fltVal holds the decoded value
    Bool,
    Text,
};

struct DecodeResult {
    Decoded kind = Decoded::Nothing;
    std::int64_t integer = 0;
    bool negativeInfinity = false;  // a `float` of length 2 whose bits are FF800000 or above
};

// Bytes an OEM text is made of, from `bytes` (already range-checked), cut at the first zero,
// converted to ANSI and then to UTF-16.
void AppendOemText(TextBuffer& text, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count && bytes[i] != 0; ++i) {
        text.push(platform::AnsiToUtf16Char(platform::OemToAnsiChar(static_cast<char>(bytes[i]))));
    }
}

void StoreName(const std::string& name, VARIANT& value) {
    TextBuffer text;
    AppendOemText(text, reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    text.storeInto(value);
}

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// `hex` and `bin` texts: factor 0 shows the last byte first.
void StoreByteText(const ImageBlock& block, const TagDescriptor& tag, bool binary, VARIANT& value) {
    TextBuffer text;
    const int length = std::max(0, static_cast<int>(tag.length));
    for (int n = 0; n < length; ++n) {
        const int index = tag.factor == 0.0f ? length - 1 - n : n;
        const std::uint8_t byte = block[static_cast<std::size_t>(tag.readoffset + index)];
        if (binary) {
            for (int bit = 7; bit >= 0; --bit) text.push((byte >> bit) & 1 ? u'1' : u'0');
        } else {
            text.push(kHexDigits[byte >> 4]);
            text.push(kHexDigits[byte & 0x0F]);
        }
        text.push(u' ');
    }
    text.dropLast();
    text.storeInto(value);
}

void StoreString(const ImageBlock& block, const TagDescriptor& tag, VARIANT& value) {
    TextBuffer text;
    if (tag.length > 0) {
        AppendOemText(text, block.data() + tag.readoffset, static_cast<std::size_t>(tag.length));
    }
    text.trimTrailingBlanks();
    text.storeInto(value);
}

// The divisor rule of `float` and `float2`. False when the divisor byte lies outside the block.
bool ApplyDivisor(const ImageBlock& block, const TagDescriptor& tag, float raw, float& result) {
    if (tag.factor != 0.0f) {
        result = raw * tag.factor;
        return true;
    }
    if (tag.divoffset < 0 || static_cast<std::size_t>(tag.divoffset) >= block.size()) return false;
    const auto divisor = static_cast<std::int8_t>(block[static_cast<std::size_t>(tag.divoffset)]);
    result = divisor != 0 ? raw / static_cast<float>(divisor) : 0.0f;
    return true;
}

DecodeResult Decode(DriverState& state, const TagDescriptor& tag, VARIANT& value) {
    DecodeResult result;
    const ImageBlock& block = state.image[tag.member];
    const MemberRecord& member = state.members[tag.member];
    const int length = tag.length;
    auto fits = [&](int count) { return ByteRangeFits(tag.readoffset, count, block.size()); };
    const std::uint8_t* b = fits(1) ? block.data() + tag.readoffset : nullptr;

    switch (tag.dtype) {
        case DtypeCode::Char:
            if (!b) break;
            value.value.uiVal = b[0];
            result.kind = Decoded::Integer;
            result.integer = b[0];
            break;
        case DtypeCode::Int:
            if (length != 2 || !fits(2)) break;
            value.value.iVal = static_cast<std::int16_t>(ReadBigEndian(b, 2));
            result.kind = Decoded::Integer;
            result.integer = value.value.iVal;
            break;
        case DtypeCode::Uint:
            if (length != 2 || !fits(2)) break;
            value.value.uiVal = static_cast<std::uint16_t>(ReadBigEndian(b, 2));
            result.kind = Decoded::Integer;
            result.integer = value.value.uiVal;
            break;
        case DtypeCode::Long:
            if (length != 4 || !fits(4)) break;
            value.vt = VT_I4;
            value.value.lVal = static_cast<std::int32_t>(ReadBigEndian(b, 4));
            result.kind = Decoded::Integer;
            result.integer = value.value.lVal;
            break;
        case DtypeCode::Ulong:
            if (length != 4 || !fits(4)) break;
            value.vt = VT_UI4;
            value.value.ulVal = ReadBigEndian(b, 4);
            result.kind = Decoded::Integer;
            result.integer = value.value.ulVal;
            break;
        case DtypeCode::Float: {
            float decoded = 0.0f;
            if (length == 2) {
                if (!fits(2)) break;
                const auto raw = static_cast<std::int16_t>(ReadBigEndian(b, 2));
                if (!ApplyDivisor(block, tag, static_cast<float>(raw), decoded)) break;
                result.negativeInfinity = std::bit_cast<std::uint32_t>(decoded) >= 0xFF800000u;
            } else if (length == 4) {
                if (!fits(4)) break;
                const auto raw = std::bit_cast<float>(ReadLittleEndian(b, 4));
                if (!ApplyDivisor(block, tag, raw, decoded)) break;
            } else {
                if (!fits(std::max(length, 0))) break;
                StoreString(block, tag, value);
                result.kind = Decoded::Text;
                break;
            }
            value.value.fltVal = decoded;
            result.kind = Decoded::Float;
            break;
        }
        case DtypeCode::Float2: {
            if (length != 4) {
                if (!fits(std::max(length, 0))) break;
                StoreByteText(block, tag, false, value);
                result.kind = Decoded::Text;
                break;
            }
            float decoded = 0.0f;
            if (!fits(4) ||
                !ApplyDivisor(block, tag, std::bit_cast<float>(ReadBigEndian(b, 4)), decoded)) {
                break;
            }
            value.value.fltVal = decoded;
            result.kind = Decoded::Float;
            break;
        }
        case DtypeCode::String:
            if (!fits(std::max(length, 0))) break;
            StoreString(block, tag, value);
            result.kind = Decoded::Text;
            break;
        case DtypeCode::Hex:
        case DtypeCode::Bin:
            if (!fits(std::max(length, 0))) break;
            StoreByteText(block, tag, tag.dtype == DtypeCode::Bin, value);
            result.kind = Decoded::Text;
            break;
        case DtypeCode::Bool: {
            if ((length != 1 && length != 2 && length != 4) || !fits(length)) break;
            // A bit number beyond the value's 32 bits (or a negative one) names a bit that is
            // never set: the mask matches nothing and the value is 0.
            const std::uint32_t mask =
                tag.bitoffset >= 0 && tag.bitoffset < 32 ? std::uint32_t{1} << tag.bitoffset : 0;
            value.vt = VT_BOOL;
            value.value.boolVal = (ReadBigEndian(b, length) & mask) != 0 ? 1 : 0;
            result.kind = Decoded::Bool;
            break;
        }
        case DtypeCode::Timeout:
            value.value.iVal =
                static_cast<std::int16_t>(member.errorCounter.load(std::memory_order_relaxed));
            result.kind = Decoded::Integer;
            result.integer = value.value.iVal;
            break;
        case DtypeCode::Password:
            if (length == 2) {
                if (!fits(2)) break;
                value.value.uiVal = static_cast<std::uint16_t>(ReadBigEndian(b, 2));
                result.kind = Decoded::Integer;
                result.integer = value.value.uiVal;
            } else {
                StoreName(member.name, value);
                result.kind = Decoded::Text;
            }
            break;
        case DtypeCode::S5Time:
            if (!fits(2)) break;
            value.value.fltVal = DecodeS5Time(b[0], b[1]);
            result.kind = Decoded::Float;
            break;
        case DtypeCode::DeviceId:
            StoreName(member.name, value);
            result.kind = Decoded::Text;
            break;
        default:
            break;
    }
    return result;
}

// The read scaling of freely scaled tags: the percentage F of the range S..E.
void ApplyReadScaling(const TagDescriptor& tag, const DecodeResult& decoded, VARIANT& value) {
    double start = 0.0;
    double end = 0.0;
    double factor = 0.0;
    {
        std::lock_guard lock(ScaleValuesLock());
        start = static_cast<float>(tag.scale->rangeStart);
        end = static_cast<float>(tag.scale->rangeEnd);
        factor = tag.scale->factor;
    }
    switch (decoded.kind) {
        case Decoded::Float:
            value.value.fltVal =
                static_cast<float>(start + (end - start) * (factor * value.value.fltVal) * 0.01);
            break;
        case Decoded::Integer:
            if (tag.dtype != DtypeCode::Int && tag.dtype != DtypeCode::Uint &&
                tag.dtype != DtypeCode::Long && tag.dtype != DtypeCode::Ulong) {
                break;
            }
            value.vt = VT_R4;
            value.value.fltVal = static_cast<float>(
                start + (end - start) * (factor * static_cast<double>(decoded.integer)) * 0.01);
            break;
        case Decoded::Bool:
            if (factor < 0.0) value.value.boolVal = value.value.boolVal == 0 ? 1 : 0;
            break;
        case Decoded::Text:
        case Decoded::Nothing:
            break;  // nothing decoded, or a text: nothing to scale
    }
}

}  // namespace

float DecodeS5Time(std::uint8_t b0, std::uint8_t b1) {
    const int count = 100 * (b0 & 0x0F) + 10 * (b1 >> 4) + (b1 & 0x0F);
    static constexpr float kBase[] = {0.01f, 0.1f, 1.0f, 10.0f};
    return static_cast<float>(count) * kBase[(b0 >> 4) & 0x03];
}

void DecodeTagValue(DriverState& state, const TagDescriptor& tag, VARIANT& value) {
    if (tag.member >= kMemberCount) return;
    bool reportInfinity = false;
    {
        std::unique_lock lock(state.imageLock, std::try_to_lock);
        if (!lock.owns_lock()) {
            const auto asked = std::chrono::steady_clock::now();
            lock.lock();
            if (state.imageWaitProbe)
                state.imageWaitProbe(std::chrono::steady_clock::now() - asked);
        }
        const DecodeResult decoded = Decode(state, tag, value);
        if (tag.fscale == 1 && tag.scale) ApplyReadScaling(tag, decoded, value);
        reportInfinity = decoded.negativeInfinity;
    }
    // Outside the image lock: the message must never hold up the polling thread or a reader.
    if (reportInfinity && state.infinityReports.first(tag)) Notify("", "Fehler in Tag");
}

}  // namespace kvx::driver
