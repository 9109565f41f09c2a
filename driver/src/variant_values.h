#pragma once
// Numbers and texts carried by the host's VARIANTs, shared by the write paths.

#include <optional>
#include <string>
#include <string_view>

#include "fenlodrv/plugin_abi.h"

namespace kvx::driver {

// The ANSI text of a VARIANT; a null BSTR, or a VARIANT that holds no text, is empty.
std::string VariantAnsiText(const VARIANT& value);

// The number of a decimal text ("12", "-1.5", " 2.5e3 "); nothing for any other text (hex,
// "inf", "nan", thousands separators). Read the same in every locale.
std::optional<double> DecimalNumber(std::string_view text);

// The number a VARIANT carries. The host sends values in the registered type; a VARIANT of
// another numeric type (or a numeric text) is taken by its own type rather than misread.
// `layout` is the registered type, used when the VARIANT's type says nothing (VT_EMPTY).
// Nothing for a VARIANT that carries no number.
std::optional<double> VariantNumber(const VARIANT& value, VARTYPE layout);

// The value a VARIANT carries, as a message shows it: a number, or a text in quotes (long texts
// cut, with "..." at the end).
std::string VariantValueText(const VARIANT& value);

// Clears `value` and makes it a new BSTR holding `ansi` converted to UTF-16.
void SetVariantText(VARIANT& value, std::string_view ansi);

}  // namespace kvx::driver
