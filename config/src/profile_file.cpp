#include "kvx/config/profile_file.h"

#include <iterator>
#include <optional>
#include <vector>

#include "kvx/platform/atomic_file.h"
#include "kvx/platform/file_lookup.h"
#include "kvx/platform/file_read.h"

namespace kvx::config {

namespace {

using platform::EqualsNoCase;

std::string_view trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view unquote(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
        return s.substr(1, s.size() - 2);
    }
    return s;
}

// The whole file, or nullopt with `why` telling what stands in the way (empty when the file
// is just missing). Only a regular file is read, so a FIFO or a device never blocks or
// floods the reader.
std::optional<std::string> readWhole(const std::filesystem::path& file,
                                     std::string* why = nullptr) {
    platform::FileReadResult read = platform::ReadRegularFile(file, kMaxProfileFileBytes);
    // A close that failed after a whole read loses nothing.
    if (read.ok() || read.failure == platform::FileReadFailure::Close) {
        return std::move(read.contents);
    }
    if (why != nullptr && read.failure != platform::FileReadFailure::Missing) {
        *why = std::move(read.reason);
    }
    return std::nullopt;
}

// One physical line of a profile file, with its line end as found.
struct Line {
    std::string_view text;  // without the line end
    std::string_view end;   // "\n", "\r\n" or empty for a last line without one
};

std::vector<Line> splitLines(std::string_view data) {
    std::vector<Line> lines;
    while (!data.empty()) {
        const std::size_t lf = data.find('\n');
        Line line;
        if (lf == std::string_view::npos) {
            line.text = data;
            data = {};
        } else {
            line.text = data.substr(0, lf);
            line.end = data.substr(lf, 1);
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.remove_suffix(1);
                line.end = data.substr(lf - 1, 2);
            }
            data.remove_prefix(lf + 1);
        }
        lines.push_back(line);
    }
    return lines;
}

// A section header's name, or nullopt for any other line. As the system's reader does, the
// name ends at the last ']', and a '[' line without one is no header.
std::optional<std::string_view> sectionName(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.front() != '[') return std::nullopt;
    text.remove_prefix(1);
    const std::size_t close = text.rfind(']');
    if (close == std::string_view::npos) return std::nullopt;
    return trim(text.substr(0, close));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> keyLine(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.front() == ';') return std::nullopt;
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{trim(text.substr(0, eq)), unquote(trim(text.substr(eq + 1)))};
}

std::optional<std::string> lookup(std::string_view data, std::string_view section,
                                  std::string_view key) {
    // Lines before the first header belong to the section without a name. Only the first
    // section of a name counts, as with the system's reader.
    bool inSection = section.empty();
    for (const Line& line : splitLines(data)) {
        if (auto name = sectionName(line.text)) {
            if (inSection) return std::nullopt;
            inSection = EqualsNoCase(*name, section);
            continue;
        }
        if (!inSection) continue;
        if (auto kv = keyLine(line.text); kv && EqualsNoCase(kv->key, key)) {
            return std::string(kv->value);
        }
    }
    return std::nullopt;
}

std::string bounded(std::string_view text, std::size_t capacity) {
    if (capacity == 0) return std::string(text);
    return std::string(text.substr(0, std::min(text.size(), capacity - 1)));
}

// Names compare without regard to ASCII letter case, as EqualsNoCase does.
std::string lowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Integer value: optional sign and leading decimal digits; `fallback` for an empty value.
int intValue(std::string_view v, int fallback);

bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::string GetProfileString(const std::filesystem::path& file, std::string_view section,
                             std::string_view key, std::string_view fallback,
                             std::size_t capacity) {
    if (auto data = readWhole(file)) {
        if (auto value = lookup(*data, section, key)) return bounded(*value, capacity);
    }
    return bounded(fallback, capacity);
}

int GetProfileInt(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  int fallback) {
    auto data = readWhole(file);
    if (!data) return fallback;
    const auto value = lookup(*data, section, key);
    return value ? intValue(*value, fallback) : fallback;
}

ProfileSnapshot ProfileSnapshot::Read(const std::filesystem::path& file) {
    ProfileSnapshot snapshot;
    const auto data = readWhole(file, &snapshot.problem_);
    if (!data) return snapshot;
    // Lines before the first header belong to the section without a name. Only the first
    // section of a name counts; the keys of a repeated one are read by nobody.
    std::unordered_map<std::string, std::string>* current = &snapshot.sections_[""];
    std::unordered_map<std::string, std::string> repeated;
    for (const Line& line : splitLines(*data)) {
        if (auto name = sectionName(line.text)) {
            auto [at, fresh] = snapshot.sections_.try_emplace(lowerCase(*name));
            repeated.clear();
            current = fresh ? &at->second : &repeated;
            continue;
        }
        if (auto kv = keyLine(line.text)) current->try_emplace(lowerCase(kv->key), kv->value);
    }
    return snapshot;
}

std::optional<std::string_view> ProfileSnapshot::lookup(std::string_view section,
                                                        std::string_view key) const {
    const auto s = sections_.find(lowerCase(section));
    if (s == sections_.end()) return std::nullopt;
    const auto k = s->second.find(lowerCase(key));
    if (k == s->second.end()) return std::nullopt;
    return std::string_view(k->second);
}

std::string ProfileSnapshot::GetString(std::string_view section, std::string_view key,
                                       std::string_view fallback, std::size_t capacity) const {
    return bounded(lookup(section, key).value_or(fallback), capacity);
}

int ProfileSnapshot::GetInt(std::string_view section, std::string_view key, int fallback) const {
    const auto value = lookup(section, key);
    return value ? intValue(*value, fallback) : fallback;
}

namespace {
int intValue(std::string_view v, int fallback) {
    if (v.empty()) return fallback;
    bool negative = false;
    if (!v.empty() && (v.front() == '+' || v.front() == '-')) {
        negative = v.front() == '-';
        v.remove_prefix(1);
    }
    long long n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
        if (n > 2147483648LL) n = 2147483648LL;
    }
    if (negative) return static_cast<int>(-n);
    return static_cast<int>(std::min(n, 2147483647LL));
}
}  // namespace

bool WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) {
    // A line break in any part would change the file's structure.
    if (section.empty() || key.empty() || hasLineBreak(section) || hasLineBreak(key) ||
        hasLineBreak(value) || section.find(']') != std::string_view::npos ||
        key.find('=') != std::string_view::npos || trim(key) != key) {
        return false;
    }
    std::string data;
    {
        std::error_code ec;
        if (std::filesystem::exists(file, ec)) {
            auto existing = readWhole(file);
            if (!existing) return false;  // unreadable: never replace what we cannot keep
            data = std::move(*existing);
        }
    }
    const std::vector<Line> lines = splitLines(data);
    std::string_view eol = "\n";
    if (!lines.empty() && lines.front().end == "\r\n") eol = "\r\n";

    // Locate the first matching section, the key inside it and its last non-empty line.
    std::optional<std::size_t> sectionAt, keyAt, lastInSection;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (auto name = sectionName(lines[i].text)) {
            if (sectionAt) break;
            inSection = EqualsNoCase(*name, section);
            if (inSection) {
                sectionAt = i;
                lastInSection = i;
            }
            continue;
        }
        if (!inSection) continue;
        if (!trim(lines[i].text).empty()) lastInSection = i;
        if (auto kv = keyLine(lines[i].text); kv && EqualsNoCase(kv->key, key)) {
            keyAt = i;
            break;
        }
    }

    std::string out;
    out.reserve(data.size() + key.size() + value.size() + section.size() + 8);
    auto keyText = [&](std::string_view k) {
        std::string s(k);
        s += '=';
        s += value;
        return s;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (keyAt && i == *keyAt) {
            // Keep the key's spelling and the line's end.
            out += keyText(keyLine(lines[i].text)->key);
            out += lines[i].end.empty() ? std::string_view{} : lines[i].end;
            continue;
        }
        out += lines[i].text;
        out += lines[i].end;
        if (!keyAt && lastInSection && i == *lastInSection) {
            if (lines[i].end.empty()) out += eol;
            out += keyText(key);
            out += eol;
        }
    }
    if (!sectionAt) {
        if (!lines.empty()) {
            if (lines.back().end.empty()) out += eol;
            if (!trim(lines.back().text).empty()) out += eol;
        }
        out += '[';
        out += section;
        out += ']';
        out += eol;
        out += keyText(key);
        out += eol;
    }
    return platform::WriteFileAtomically(file, out);
}

}  // namespace kvx::config
