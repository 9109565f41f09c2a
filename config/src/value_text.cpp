#include "value_text.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace kvx::config::detail {

namespace {
bool isSkip(char c) {
    return c == ' ' || c == '\t' || c == '=';
}
bool isBreak(char c) {
    return c == '\t' || c == '\r' || c == '\n';
}

// End of the text value starting at `pos`, and whether another attribute follows it.
std::pair<std::size_t, bool> textEnd(std::string_view line, std::size_t pos) {
    std::size_t lastBreak = std::string_view::npos;
    for (std::size_t i = pos; i < line.size(); ++i) {
        if (isBreak(line[i])) {
            lastBreak = i;
        } else if (line[i] == '=' && lastBreak != std::string_view::npos) {
            return {lastBreak, true};
        }
    }
    std::size_t end = line.size();
    while (end > pos && isBreak(line[end - 1])) --end;
    return {end, false};
}
}  // namespace

std::optional<std::size_t> FindValue(std::string_view line, std::string_view key) {
    const std::size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t pos = at + key.size();
    while (pos < line.size() && isSkip(line[pos])) ++pos;
    return pos;
}

std::int32_t ReadInt(std::string_view line, std::size_t pos) {
    bool negative = false;
    if (pos < line.size() && (line[pos] == '+' || line[pos] == '-')) {
        negative = line[pos] == '-';
        ++pos;
    }
    std::int64_t value = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos) {
        value = value * 10 + (line[pos] - '0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) return static_cast<std::int32_t>(-value);
    return static_cast<std::int32_t>(std::min(value, kLimit - 1));
}

double ReadDouble(std::string_view line, std::size_t pos) {
    if (pos >= line.size()) return 0.0;
    bool negative = false;
    if (line[pos] == '+' || line[pos] == '-') {
        negative = line[pos] == '-';
        ++pos;
    }
    // Only plain decimal forms: no hexadecimal, infinity or NaN spellings.
    if (pos >= line.size() || !((line[pos] >= '0' && line[pos] <= '9') || line[pos] == '.')) {
        return 0.0;
    }
    double value = 0.0;
    auto [end, ec] = std::from_chars(line.data() + pos, line.data() + line.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: keep the sign, saturate to a finite value or zero.
        std::size_t e = pos;
        while (e < line.size() && line[e] != 'e' && line[e] != 'E') ++e;
        const bool tiny = e + 1 < line.size() && line[e + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::max();
    } else if (ec != std::errc{}) {
        value = 0.0;
    }
    (void)end;
    return negative ? -value : value;
}

std::string ReadText(std::string_view line, std::size_t pos, std::size_t maxChars) {
    if (pos >= line.size()) return {};
    const auto [end, more] = textEnd(line, pos);
    (void)more;
    std::string text(line.substr(pos, end - pos));
    if (text.size() > maxChars) text.resize(maxChars);
    return text;
}

std::int32_t IntOf(std::string_view line, std::string_view key) {
    return OptionalIntOf(line, key).value_or(0);
}

std::optional<std::int32_t> OptionalIntOf(std::string_view line, std::string_view key) {
    const auto pos = FindValue(line, key);
    if (!pos) return std::nullopt;
    return ReadInt(line, *pos);
}

std::string TextOf(std::string_view line, std::string_view key, std::size_t maxChars) {
    const auto pos = FindValue(line, key);
    if (!pos) return {};
    return ReadText(line, *pos, maxChars);
}

bool TextRunsToLineEnd(std::string_view line, std::string_view key) {
    const auto pos = FindValue(line, key);
    if (!pos || *pos >= line.size()) return pos.has_value();
    return !textEnd(line, *pos).second;
}

}  // namespace kvx::config::detail
