#include "kvx/scantool/tool_ini.h"

#include "kvx/platform/file_lookup.h"

namespace kvx::scantool {

namespace {
constexpr char kPathListSeparator = std::filesystem::path::preferred_separator == '/' ? ':' : ';';
}  // namespace

std::optional<std::filesystem::path> LocateToolIni(std::string_view fileName,
                                                   const std::filesystem::path& currentDirectory,
                                                   std::string_view pathVariable) {
    if (auto p = platform::FindFileNoCase(currentDirectory, fileName)) return p;
    std::size_t start = 0;
    while (start <= pathVariable.size()) {
        auto end = pathVariable.find(kPathListSeparator, start);
        if (end == std::string_view::npos) end = pathVariable.size();
        const auto dir = pathVariable.substr(start, end - start);
        if (!dir.empty()) {
            if (auto p =
                    platform::FindFileNoCase(std::filesystem::path(std::string(dir)), fileName))
                return p;
        }
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace kvx::scantool
