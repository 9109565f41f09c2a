#include "kvx/config/device_description.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "value_text.h"

namespace kvx::config {

using detail::IntOf;
using detail::OptionalIntOf;
using detail::TextOf;

DtypeCode DtypeFromKeyword(std::string_view keyword) {
    struct Entry {
        std::string_view word;
        DtypeCode code;
    };
    static constexpr Entry kTable[] = {
        {"char", DtypeCode::Char},       {"int", DtypeCode::Int},
        {"uint", DtypeCode::Uint},       {"long", DtypeCode::Long},
        {"ulong", DtypeCode::Ulong},     {"float", DtypeCode::Float},
        {"string", DtypeCode::String},   {"bool", DtypeCode::Bool},
        {"timeout", DtypeCode::Timeout}, {"password", DtypeCode::Password},
        {"s5time", DtypeCode::S5Time},   {"float2", DtypeCode::Float2},
        {"hex", DtypeCode::Hex},         {"bin", DtypeCode::Bin},
    };
    for (const auto& e : kTable) {
        if (e.word == keyword) return e.code;
    }
    return DtypeCode::Unknown;
}

// ---------------------------------------------------------------------------------------------
// Logical lines

LogicalLineReader::LogicalLineReader(std::istream& in, std::size_t capacity)
    : in_(in), capacity_(std::max<std::size_t>(capacity, 2)) {}

namespace {
bool isEmptyLine(const std::string& s) {
    return !s.empty() && (s[0] == '\n' || s[0] == '\r');
}
}  // namespace

// Reads one physical line like a C library line read into a buffer of `room` bytes: at most
// room-1 characters, up to and including the line feed. CR LF reads as LF. The text ends at a
// NUL byte, as a C string would. False when nothing was left to read.
static bool readPhysical(std::istream& in, std::size_t room, std::string& out, int& lineFeeds) {
    auto* sb = in.rdbuf();
    if (sb == nullptr || room < 2) return false;
    const std::size_t start = out.size();
    bool any = false;
    std::size_t n = 0;
    while (n < room - 1) {
        const int c = sb->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            break;
        }
        any = true;
        const char ch = static_cast<char>(c);
        if (ch == '\r' && sb->sgetc() == '\n') continue;
        out.push_back(ch);
        ++n;
        if (ch == '\n') {
            ++lineFeeds;
            break;
        }
    }
    const std::size_t nul = out.find('\0', start);
    if (nul != std::string::npos) out.resize(nul);
    return any;
}

std::optional<std::string> LogicalLineReader::next() {
    std::string line;
    for (;;) {
        startLine_ = physicalLine_ + 1;
        line.clear();
        if (!readPhysical(in_, capacity_, line, physicalLine_)) return std::nullopt;
        if (!isEmptyLine(line)) break;
    }
    // A backslash before the line feed continues the line on the next non-empty line.
    while (line.size() >= 2 && line.back() == '\n' && line[line.size() - 2] == '\\') {
        line[line.size() - 2] = ' ';
        line.pop_back();
        const std::size_t room = capacity_ - line.size();
        if (room < 2) break;  // buffer full: the logical line ends here
        std::string part;
        for (;;) {
            part.clear();
            // End of file inside a continuation ends the file; the joined part is dropped.
            if (!readPhysical(in_, room, part, physicalLine_)) return std::nullopt;
            if (!isEmptyLine(part)) break;
        }
        line += part;
    }
    return line;
}

// ---------------------------------------------------------------------------------------------
// The plug-in's parser

namespace {
// Keyword: the text up to the character before the first character after the first tab that
// is not a tab or line end. One tab: the text before it; two tabs: the text and a tab.
std::string_view keywordOf(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return {};
    std::size_t j = tab + 1;
    while (j < line.size() && (line[j] == '\t' || line[j] == '\r' || line[j] == '\n')) ++j;
    return line.substr(0, j - 1);
}

RecordKind kindOf(std::string_view keyword) {
    struct Entry {
        std::string_view word;
        RecordKind kind;
    };
    static constexpr Entry kTable[] = {
        {"fetch1", RecordKind::Fetch1},   {"fetch2", RecordKind::Fetch2},
        {"fetch3", RecordKind::Fetch3},   {"fetch4", RecordKind::Fetch4},
        {"fetchID", RecordKind::FetchId}, {"scanID", RecordKind::ScanId},
        {"node", RecordKind::Node},       {"tag", RecordKind::Tag},
    };
    for (const auto& e : kTable) {
        if (e.word == keyword) return e.kind;
    }
    return RecordKind::Ignored;
}

constexpr std::size_t kTextChars = kCfgTextField - 1;

float toFloat(double v) {
    constexpr double kMax = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(v, -kMax, kMax));
}
}  // namespace

void ParseCfgLine(const std::string& line, CfgRecord& record) {
    const std::string_view text(line.data(), std::min(line.size(), line.find('\0')));
    record.kind = kindOf(keywordOf(text));
    switch (record.kind) {
        case RecordKind::Ignored:
            break;
        case RecordKind::Fetch1:
        case RecordKind::Fetch2:
        case RecordKind::Fetch3:
        case RecordKind::Fetch4:
        case RecordKind::FetchId:
            record.desadr = IntOf(text, "desadr");
            record.bytes = IntOf(text, "bytes");
            break;
        case RecordKind::ScanId:
            record.readoffset = IntOf(text, "readoffset");
            record.length = IntOf(text, "length");
            record.idStr = TextOf(text, "IDstr", kTextChars);
            record.name = TextOf(text, "name", kTextChars);
            break;
        case RecordKind::Node:
            record.name = TextOf(text, "name", kTextChars);
            break;
        case RecordKind::Tag: {
            record.name = TextOf(text, "name", kTextChars);
            const std::string access = TextOf(text, "access", text.size());
            record.access =
                static_cast<std::uint8_t>((access.find('r') != std::string::npos ? 1 : 0) |
                                          (access.find('w') != std::string::npos ? 2 : 0));
            record.dtype = DtypeFromKeyword(TextOf(text, "dtype", text.size()));
            record.readoffset = IntOf(text, "readoffset");
            record.writeoffset = IntOf(text, "writeoffset");
            const auto factorAt = detail::FindValue(text, "factor");
            record.factor = factorAt ? toFloat(detail::ReadDouble(text, *factorAt)) : 0.0f;
            record.divoffset = IntOf(text, "divoffset");
            record.bitoffset = IntOf(text, "bitoffset");
            record.length = IntOf(text, "length");
            record.fscale = IntOf(text, "fscale");
            break;
        }
    }
}

CfgParser::CfgParser(std::istream& in) : reader_(in, 512) {}

bool CfgParser::ReadNextRecord(CfgRecord& record) {
    auto line = reader_.next();
    if (!line) return false;
    ParseCfgLine(*line, record);
    record.line = reader_.lineNumber();
    return true;
}

// ---------------------------------------------------------------------------------------------
// The scan tool's reader

namespace {
constexpr std::size_t kToolLineCapacity = 260;

bool contains(const std::string& line, std::string_view word) {
    return line.find(word) != std::string::npos;
}
}  // namespace

ToolDeviceType ReadToolDeviceType(std::istream& in, const std::filesystem::path& file) {
    ToolDeviceType type;
    type.file = file;
    LogicalLineReader reader(in, kToolLineCapacity);
    while (auto line = reader.next()) {
        if (contains(*line, "scanID")) {
            ++type.recognisedLines;
            if (type.entries.size() >= kMaxScanIdEntries) {
                type.warnings.push_back(file.string() + ":" + std::to_string(reader.lineNumber()) +
                                        ": more than ten scanID lines, this one is ignored");
                continue;
            }
            ScanIdEntry entry;
            entry.readoffset = IntOf(*line, "readoffset");
            entry.length = IntOf(*line, "length");
            entry.idStr = TextOf(*line, "IDstr", kTextChars);
            entry.name = TextOf(*line, "name", kTextChars);
            type.entries.push_back(std::move(entry));
        } else if (contains(*line, "fetchID")) {
            ++type.recognisedLines;
            if (auto v = OptionalIntOf(*line, "desadr")) type.fetchIdAddress = *v;
            if (auto v = OptionalIntOf(*line, "bytes")) type.fetchIdBytes = *v;
        }
    }
    return type;
}

void ReadToolTestBlock(std::istream& in, std::int32_t& desadr, std::int32_t& bytes) {
    LogicalLineReader reader(in, kToolLineCapacity);
    while (auto line = reader.next()) {
        if (!contains(*line, "fetch1")) continue;
        if (auto v = OptionalIntOf(*line, "desadr")) desadr = *v;
        if (auto v = OptionalIntOf(*line, "bytes")) bytes = *v;
    }
}

}  // namespace kvx::config
