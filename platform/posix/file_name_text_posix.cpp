#include "kvx/platform/codepage.h"
#include "kvx/platform/file_name_text.h"

namespace kvx::platform {

std::string FileNameToAnsi(const std::filesystem::path& name) {
    const std::string bytes = name.string();
    std::string ansi = Utf8ToAnsi(bytes);
    // Only a conversion that leads back to the same bytes names the same file.
    if (AnsiToUtf8(ansi) != bytes) return bytes;
    return ansi;
}

std::filesystem::path FileNameFromAnsi(std::string_view ansi) {
    return std::filesystem::path(AnsiToUtf8(ansi));
}

}  // namespace kvx::platform
