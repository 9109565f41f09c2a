#include "kvx/platform/codepage.h"
#include "kvx/platform/file_name_text.h"

namespace kvx::platform {

// Windows names are UTF-16; the ANSI functions of the system see them in Windows-1252.
std::string FileNameToAnsi(const std::filesystem::path& name) {
    return Utf16ToAnsi(name.u16string());
}

std::filesystem::path FileNameFromAnsi(std::string_view ansi) {
    return std::filesystem::path(AnsiToUtf16(ansi));
}

}  // namespace kvx::platform
