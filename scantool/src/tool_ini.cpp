#include "kvx/scantool/tool_ini.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace kvx::scantool {

namespace {
bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool IsFile(const std::filesystem::path& p) {
    std::error_code ec;
    return std::filesystem::is_regular_file(p, ec);
}

constexpr char kPathListSeparator = std::filesystem::path::preferred_separator == '/' ? ':' : ';';
}  // namespace

std::optional<std::filesystem::path> FindFileNoCase(const std::filesystem::path& directory,
                                                    std::string_view name) {
    const auto exact = directory / std::string(name);
    if (IsFile(exact)) return exact;
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec), end;
    std::optional<std::filesystem::path> found;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string leaf = it->path().filename().string();
        // Several spellings: the first in name order, so the choice does not depend on the
        // order the directory happens to list them in.
        if (EqualNoCase(leaf, name) && IsFile(it->path()) && (!found || it->path() < *found)) {
            found = it->path();
        }
    }
    return found;
}

std::optional<std::filesystem::path> LocateToolIni(std::string_view fileName,
                                                   const std::filesystem::path& currentDirectory,
                                                   std::string_view pathVariable) {
    if (auto p = FindFileNoCase(currentDirectory, fileName)) return p;
    std::size_t start = 0;
    while (start <= pathVariable.size()) {
        auto end = pathVariable.find(kPathListSeparator, start);
        if (end == std::string_view::npos) end = pathVariable.size();
        const auto dir = pathVariable.substr(start, end - start);
        if (!dir.empty()) {
            if (auto p = FindFileNoCase(std::filesystem::path(std::string(dir)), fileName)) return p;
        }
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace kvx::scantool
