#pragma once
// Attribute search and value reading shared by the plug-in's parser and the tool's reader.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvx::config::detail {

// Position of the value of `key`: after the first occurrence of the key text anywhere in the
// line and the blanks, tabs and '=' signs that follow it. nullopt when the key is absent.
std::optional<std::size_t> FindValue(std::string_view line, std::string_view key);

// Decimal integer at `pos` (optional sign, then digits up to the first other character);
// saturates at the 32-bit range; 0 when no digits follow.
std::int32_t ReadInt(std::string_view line, std::size_t pos);

// Decimal floating-point number at `pos` (optional sign and exponent); 0 when none.
double ReadDouble(std::string_view line, std::size_t pos);

// Text value at `pos`: up to the last tab, CR or LF before the next attribute (a '=' that
// follows a tab, CR or LF). With no further attribute the text runs to the line end, trailing
// tabs and line ends dropped. Cut to `maxChars` characters.
std::string ReadText(std::string_view line, std::size_t pos, std::size_t maxChars);

// Convenience forms: missing key -> 0 / empty text.
std::int32_t IntOf(std::string_view line, std::string_view key);
std::optional<std::int32_t> OptionalIntOf(std::string_view line, std::string_view key);
std::string TextOf(std::string_view line, std::string_view key, std::size_t maxChars);

// True when the text value of `key` runs to the line end (no attribute follows it).
bool TextRunsToLineEnd(std::string_view line, std::string_view key);

}  // namespace kvx::config::detail
