#include "kvx/platform/file_lookup.h"

#include <algorithm>
#include <system_error>

namespace kvx::platform {

namespace fs = std::filesystem;

namespace {
char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isRegularFile(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec);  // follows symbolic links
}

// Entries of `dir` whose names satisfy `match`, sorted by name: regular files only, or
// entries of any kind.
template <typename Match>
std::vector<fs::path> sortedEntries(const fs::path& dir, Match match, bool anyKind = false) {
    std::vector<fs::path> found;
    std::error_code ec;
    fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec);
    if (ec) return found;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().string();
        if (match(name) && (anyKind || isRegularFile(*it))) found.push_back(dir / name);
    }
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().string() < b.filename().string();
    });
    return found;
}
}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

std::optional<fs::path> FindFileNoCase(const fs::path& dir, std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
        return std::nullopt;
    }
    const fs::path exact = dir / std::string(name);
    std::error_code ec;
    if (fs::is_regular_file(exact, ec)) return exact;
    auto found =
        sortedEntries(dir, [&](const std::string& entry) { return EqualsNoCase(entry, name); });
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::optional<fs::path> FindEntryNoCase(const fs::path& dir, std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
        return std::nullopt;
    }
    const fs::path exact = dir / std::string(name);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(exact, ec))) return exact;
    auto found = sortedEntries(
        dir, [&](const std::string& entry) { return EqualsNoCase(entry, name); }, true);
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::optional<fs::path> ResolveNoCase(const fs::path& file) {
    const std::string name = file.filename().string();
    if (name.empty()) return std::nullopt;
    return FindFileNoCase(file.parent_path(), name);
}

std::vector<fs::path> ListFilesWithExtension(const fs::path& dir, std::string_view extension) {
    return sortedEntries(dir, [&](const std::string& entry) {
        return entry.size() >= extension.size() &&
               EqualsNoCase(std::string_view(entry).substr(entry.size() - extension.size()),
                            extension);
    });
}

}  // namespace kvx::platform
