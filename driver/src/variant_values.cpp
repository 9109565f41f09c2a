#include "variant_values.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstdlib>

#include "fenlodrv/oleauto.h"
#include "kvx/platform/codepage.h"

namespace kvx::driver {

std::string VariantAnsiText(const VARIANT& value) {
    if (value.vt != VT_BSTR || value.value.bstrVal == nullptr) return {};
    const BSTR text = value.value.bstrVal;
    return platform::Utf16ToAnsi(
        std::u16string_view(reinterpret_cast<const char16_t*>(text), SysStringLen(text)));
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
        case VT_BSTR: {
            const std::string text = VariantAnsiText(value);
            char* end = nullptr;
            const double number = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
            return number;
        }
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
