#pragma once
// Fixed code-page tables: OEM = code page 850 (texts on the bus), ANSI = Windows-1252 (texts
// in files), UTF-16 for the OPC host. Bytes below 128 are unchanged by every conversion.

#include <string>
#include <string_view>

namespace kvx::platform {

std::string OemToAnsi(std::string_view oem);
// One byte at a time, for paths that must not allocate (the value decoder).
char OemToAnsiChar(char oem);
char16_t AnsiToUtf16Char(char ansi);
std::string AnsiToOem(std::string_view ansi);
std::u16string AnsiToUtf16(std::string_view ansi);
// Characters without a form in the target code page become '?' (every conversion below).
std::string Utf16ToAnsi(std::u16string_view text);
// UTF-8 <-> ANSI, for terminals and JSON.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace kvx::platform
