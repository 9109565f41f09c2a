#pragma once
// Values as a host hands them to the plug-in and shows them to people: VARIANTs of the item's
// registered type, UTF-8 <-> UTF-16 texts, time stamps.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "fenlodrv/plugin_abi.h"

namespace kvx::host {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// A VARIANT of type `vt` with a zero value, as a host passes it to a read.
VARIANT ZeroVariant(VARTYPE vt);

// The value of a VARIANT for JSON: a number for numeric types, a string for texts, null for
// an empty VARIANT or one of a type this host does not know.
nlohmann::json VariantToJson(const VARIANT& value);

// Converts the text typed by a user into a VARIANT of type `vt`. A text VARIANT owns a BSTR
// (free it with VariantClear). On failure returns nullopt with the reason in `error`.
std::optional<VARIANT> ParseValue(VARTYPE vt, std::string_view text, std::string& error);

// ISO 8601 UTC text of a FILETIME ("2026-12-08T17:54:09.123Z"); empty for a zero time.
std::string FileTimeToText(const FILETIME& time);

// Name of a VARIANT type for people ("VT_R4").
std::string VarTypeName(VARTYPE vt);

}  // namespace kvx::host
