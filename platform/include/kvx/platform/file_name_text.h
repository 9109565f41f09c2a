#pragma once
// File names as the tools keep texts: in the ANSI code page (Windows-1252), the encoding of
// file contents and messages. On POSIX systems names on the file system are UTF-8 bytes and
// must be converted at this border, never used as ANSI bytes (nor the reverse).

#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::platform {

// The ANSI text of a file name or path. On POSIX systems a name that has no ANSI form
// (characters outside Windows-1252, or bytes that are no UTF-8) keeps its bytes, so that it
// still names the same file when it is looked up again (see FileNameFromAnsi).
std::string FileNameToAnsi(const std::filesystem::path& name);

// The file-system name of an ANSI text. Lookups of names that came from files (an INI entry)
// try the bytes as they are first, for names FileNameToAnsi kept unchanged.
std::filesystem::path FileNameFromAnsi(std::string_view ansi);

}  // namespace kvx::platform
