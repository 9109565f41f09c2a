#include "variant_values.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "fenlodrv/oleauto.h"
#include "kvx/platform/codepage.h"

namespace kvx::driver {

std::string VariantAnsiText(const VARIANT& value) {
    if (value.vt != VT_BSTR || value.value.bstrVal == nullptr) return {};
    const BSTR text = value.value.bstrVal;
    return platform::Utf16ToAnsi(
        std::u16string_view(reinterpret_cast<const char16_t*>(text), SysStringLen(text)));
}

std::optional<double> DecimalNumber(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    // Sign, digits with at most one decimal point, an optional exponent: nothing else (no
    // hexadecimal, no "inf" or "nan", which a C library would also take).
    std::size_t i = 0;
    const auto digitsFrom = [&](std::size_t& at) {
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at - first;
    };
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) ++i;
    const std::size_t mantissa = i;
    std::size_t digits = digitsFrom(i);
    if (i < text.size() && text[i] == '.') {
        ++i;
        digits += digitsFrom(i);
    }
    if (digits == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digitsFrom(i) == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    // from_chars takes no '+' and reads the same in every locale.
    const char* first = text.data() + mantissa - (negative ? 1 : 0);
    double number = 0.0;
    const auto [end, error] =
        std::from_chars(first, text.data() + text.size(), number, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Beyond a double: too large is a value no tag can hold (the range checks refuse the
        // infinity), too small is 0. Which one: the decimal exponent of the first digit.
        std::size_t at = mantissa;
        while (at < text.size() && (text[at] == '0' || text[at] == '.')) ++at;
        const std::size_t point = text.find('.', mantissa);
        const std::size_t mantissaEnd = std::min(text.find_first_of("eE", mantissa), text.size());
        const std::size_t integerEnd = std::min(point, mantissaEnd);
        long magnitude = static_cast<long>(integerEnd) - static_cast<long>(at);
        if (const std::size_t e = text.find_first_of("eE", mantissa); e != std::string_view::npos) {
            const bool down = text[e + 1] == '-';
            long exponent = 0;
            const auto read = std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0),
                                              text.data() + text.size(), exponent);
            if (read.ec != std::errc{}) exponent = down ? -1000000 : 1000000;
            magnitude += std::clamp(exponent, -1000000L, 1000000L);
        }
        if (magnitude <= 0) return negative ? -0.0 : 0.0;
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return number;
}

std::optional<double> VariantNumber(const VARIANT& value, VARTYPE layout) {
    const VARTYPE type = value.vt == VT_EMPTY ? layout : value.vt;
    switch (type) {
        case VT_UI1:
            return value.value.bVal;
        case VT_I2:
            return value.value.iVal;
        case VT_UI2:
            return value.value.uiVal;
        case VT_I4:
            return value.value.lVal;
        case VT_UI4:
            return value.value.ulVal;
        case VT_R4:
            return value.value.fltVal;
        case VT_R8:
            return value.value.dblVal;
        case VT_BOOL:
            return value.value.boolVal;
        case VT_BSTR:
            return DecimalNumber(VariantAnsiText(value));
        default:
            return std::nullopt;
    }
}

std::string VariantValueText(const VARIANT& value) {
    constexpr std::size_t kShownText = 64;
    switch (value.vt) {
        case VT_R4:
            return fmt::format("{}", value.value.fltVal);  // as short as the float allows
        case VT_BSTR: {
            std::string text = VariantAnsiText(value);
            if (text.size() > kShownText) text.replace(kShownText, std::string::npos, "...");
            return fmt::format("\"{}\"", text);
        }
        default:
            break;
    }
    if (const auto number = VariantNumber(value, VT_EMPTY)) return fmt::format("{}", *number);
    return fmt::format("(VARIANT type {})", value.vt);
}

void SetVariantText(VARIANT& value, std::string_view ansi) {
    VariantClear(&value);
    VariantInit(&value);
    const std::u16string text = platform::AnsiToUtf16(ansi);
    value.vt = VT_BSTR;
    value.value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                            static_cast<std::uint32_t>(text.size()));
}

}  // namespace kvx::driver
