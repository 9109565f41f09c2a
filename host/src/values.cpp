#include "values.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "fenlodrv/oleauto.h"

namespace kvx::host {

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t code = 0xFFFD;
        std::size_t extra = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            extra = 3;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        bool valid = true;
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= text.size()) {
                valid = false;
                break;
            }
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

VARIANT ZeroVariant(VARTYPE vt) {
    VARIANT value;
    VariantInit(&value);
    value.vt = vt;
    return value;
}

nlohmann::json VariantToJson(const VARIANT& packed) {
    // Records are packed: read the number from an aligned copy.
    alignas(8) VARIANT value;
    std::memcpy(static_cast<void*>(&value), &packed, sizeof(VARIANT));
    switch (value.vt) {
        case VT_I2:
            return value.value.iVal;
        case VT_I4:
            return value.value.lVal;
        case VT_R4: {
            const float f = value.value.fltVal;
            if (!std::isfinite(f)) return nullptr;
            // Shortest text that reads back as the same single-precision value.
            return std::stod(fmt::format("{}", f));
        }
        case VT_R8: {
            const double d = value.value.dblVal;
            if (!std::isfinite(d)) return nullptr;
            return d;
        }
        case VT_BOOL:
            return value.value.boolVal;
        case VT_UI1:
            return value.value.bVal;
        case VT_UI2:
            return value.value.uiVal;
        case VT_UI4:
            return value.value.ulVal;
        case VT_BSTR: {
            BSTR text = nullptr;
            std::memcpy(&text, &value.value, sizeof(text));
            if (text == nullptr) return "";
            return Utf16ToUtf8(
                std::u16string_view(reinterpret_cast<const char16_t*>(text), SysStringLen(text)));
        }
        default:
            return nullptr;
    }
}

namespace {

template <typename T>
bool parseInteger(std::string_view text, T& out) {
    long long wide = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, wide);
    if (ec != std::errc() || ptr != end || begin == end) return false;
    if (wide < static_cast<long long>(std::numeric_limits<T>::min()) ||
        wide > static_cast<long long>(std::numeric_limits<T>::max())) {
        return false;
    }
    out = static_cast<T>(wide);
    return true;
}

bool parseReal(std::string_view text, double& out) {
    const std::string copy(text);
    if (copy.empty()) return false;
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(out);
}

}  // namespace

std::optional<VARIANT> ParseValue(VARTYPE vt, std::string_view text, std::string& error) {
    VARIANT value = ZeroVariant(vt);
    bool ok = true;
    switch (vt) {
        // The VARIANT is packed: parse into locals, then store.
        case VT_I2: {
            std::int16_t v = 0;
            ok = parseInteger(text, v);
            value.value.iVal = v;
            break;
        }
        case VT_I4: {
            std::int32_t v = 0;
            ok = parseInteger(text, v);
            value.value.lVal = v;
            break;
        }
        case VT_UI1: {
            std::uint8_t v = 0;
            ok = parseInteger(text, v);
            value.value.bVal = v;
            break;
        }
        case VT_UI2: {
            std::uint16_t v = 0;
            ok = parseInteger(text, v);
            value.value.uiVal = v;
            break;
        }
        case VT_UI4: {
            std::uint32_t v = 0;
            ok = parseInteger(text, v);
            value.value.ulVal = v;
            break;
        }
        case VT_R4: {
            double d = 0;
            ok = parseReal(text, d) && std::fabs(d) <= std::numeric_limits<float>::max();
            if (ok) value.value.fltVal = static_cast<float>(d);
            break;
        }
        case VT_R8: {
            double d = 0;
            ok = parseReal(text, d);
            if (ok) value.value.dblVal = d;
            break;
        }
        case VT_BOOL:
            if (text == "1" || text == "true" || text == "TRUE" || text == "True") {
                value.value.boolVal = -1;  // VARIANT_TRUE, as OLE hosts pass it
            } else if (text == "0" || text == "false" || text == "FALSE" || text == "False") {
                value.value.boolVal = 0;
            } else {
                ok = false;
            }
            break;
        case VT_BSTR: {
            const std::u16string wide = Utf8ToUtf16(text);
            BSTR bstr = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                                          static_cast<std::uint32_t>(wide.size()));
            if (bstr == nullptr) {
                error = "out of memory for a text value";
                return std::nullopt;
            }
            std::memcpy(&value.value, &bstr, sizeof(bstr));
            break;
        }
        default:
            error = fmt::format("items of type {} cannot be written", vt);
            return std::nullopt;
    }
    if (!ok) {
        error = fmt::format("\"{}\" is not a value of type {}", text, VarTypeName(vt));
        return std::nullopt;
    }
    return value;
}

std::string FileTimeToText(const FILETIME& time) {
    const std::uint64_t ticks =
        (std::uint64_t{time.dwHighDateTime} << 32) | std::uint64_t{time.dwLowDateTime};
    if (ticks == 0) return {};
    constexpr std::uint64_t kEpochOffsetTicks = 116444736000000000ULL;
    const auto sinceUnix =
        std::chrono::microseconds(static_cast<std::int64_t>((ticks - kEpochOffsetTicks) / 10));
    const std::chrono::sys_time<std::chrono::milliseconds> point(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceUnix));
    const auto seconds = std::chrono::floor<std::chrono::seconds>(point);
    const auto millis = (point - seconds).count();
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03d}Z", seconds, millis);
}

std::string VarTypeName(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return "VT_EMPTY";
        case VT_I2:
            return "VT_I2";
        case VT_I4:
            return "VT_I4";
        case VT_R4:
            return "VT_R4";
        case VT_R8:
            return "VT_R8";
        case VT_BSTR:
            return "VT_BSTR";
        case VT_BOOL:
            return "VT_BOOL";
        case VT_UI1:
            return "VT_UI1";
        case VT_UI2:
            return "VT_UI2";
        case VT_UI4:
            return "VT_UI4";
        default:
            return std::to_string(vt);
    }
}

}  // namespace kvx::host
