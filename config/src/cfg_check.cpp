#include "kvx/config/cfg_check.h"

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string_view>

#include "value_text.h"

namespace kvx::config {

namespace {

using Severity = CfgFinding::Severity;

std::string keywordBeforeTabs(std::string_view line) {
    const std::size_t tab = line.find('\t');
    return std::string(line.substr(0, tab));
}

bool isRecordKeyword(std::string_view word) {
    for (std::string_view k :
         {"fetch1", "fetch2", "fetch3", "fetch4", "fetchID", "scanID", "node", "tag"}) {
        if (word == k) return true;
    }
    return false;
}

// The text keys of each kind, for the line-end rule.
std::vector<std::string_view> textKeys(RecordKind kind) {
    switch (kind) {
        case RecordKind::ScanId:
            return {"IDstr", "name"};
        case RecordKind::Node:
            return {"name"};
        case RecordKind::Tag:
            return {"name", "access", "dtype"};
        default:
            return {};
    }
}

std::string inQuotes(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

class Checker {
  public:
    explicit Checker(bool toolLoads) : toolLoads_(toolLoads) {}

    std::vector<CfgFinding> run(std::istream& in) {
        LogicalLineReader reader(in, 512);
        CfgRecord r;
        while (auto line = reader.next()) {
            lineNo_ = reader.lineNumber();
            ParseCfgLine(*line, r);
            checkLine(*line, r);
        }
        finish();
        std::stable_sort(findings_.begin(), findings_.end(),
                         [](const CfgFinding& a, const CfgFinding& b) { return a.line < b.line; });
        return std::move(findings_);
    }

  private:
    struct PendingTag {
        int line;
        std::string name;
        int end;  // first byte after the tag's bytes
    };

    void add(Severity s, std::string message) {
        findings_.push_back({s, lineNo_, std::move(message)});
    }

    void checkLine(const std::string& line, const CfgRecord& r) {
        const std::string_view text(line);
        const bool hasScan = text.find("scanID") != std::string_view::npos;
        const bool hasFetchId = text.find("fetchID") != std::string_view::npos;
        const bool hasFetch1 = text.find("fetch1") != std::string_view::npos;

        if (r.kind == RecordKind::Ignored) {
            const std::string word = keywordBeforeTabs(text);
            const std::size_t tab = text.find('\t');
            if (isRecordKeyword(word) && tab != std::string_view::npos) {
                const bool twoTabs = tab + 1 < text.size() && text[tab + 1] == '\t';
                add(Severity::Error, "\"" + word + "\" " +
                                         (twoTabs ? "is followed by more than one tab"
                                                  : "has no attributes after its tab") +
                                         ": the plug-in ignores this line");
            } else if (hasScan || hasFetchId || hasFetch1) {
                add(Severity::Error,
                    "line is not a record for the plug-in but contains \"" +
                        std::string(hasScan      ? "scanID"
                                    : hasFetchId ? "fetchID"
                                                 : "fetch1") +
                        "\": the scan tool reads it as one (keywords need a single tab after "
                        "them; comments must not contain these words)");
            }
        } else if (r.kind != RecordKind::ScanId && hasScan) {
            add(Severity::Error,
                "line contains \"scanID\": the scan tool takes it as an "
                "identification line");
        } else if (r.kind != RecordKind::ScanId && r.kind != RecordKind::FetchId && hasFetchId) {
            add(Severity::Error,
                "line contains \"fetchID\": the scan tool takes its desadr "
                "and bytes as the identification block");
        } else if (r.kind != RecordKind::Fetch1 && hasFetch1 && !hasScan && !hasFetchId) {
            add(Severity::Error,
                "line contains \"fetch1\": the scan tool takes its desadr and "
                "bytes as the test block");
        }

        for (std::string_view key : textKeys(r.kind)) {
            if (detail::FindValue(text, key) && detail::TextRunsToLineEnd(text, key)) {
                add(Severity::Warning, "text value of " + std::string(key) +
                                           " ends the line: give it a tab and a further "
                                           "attribute after it, as other readers need");
            }
            const auto pos = detail::FindValue(text, key);
            if (pos && (key == "name" || key == "IDstr") &&
                detail::ReadText(text, *pos, text.size()).size() >= kCfgTextField) {
                add(Severity::Warning, std::string(key) + " is longer than " +
                                           std::to_string(kCfgTextField - 1) +
                                           " characters and is cut");
            }
        }

        switch (r.kind) {
            case RecordKind::Fetch1:
            case RecordKind::Fetch2:
            case RecordKind::Fetch3:
            case RecordKind::Fetch4:
            case RecordKind::FetchId:
                checkBlock(r);
                break;
            case RecordKind::ScanId:
                checkScanId(r);
                break;
            case RecordKind::Node:
                break;
            case RecordKind::Tag:
                checkTag(r);
                break;
            case RecordKind::Ignored:
                break;
        }
    }

    void checkBlock(const CfgRecord& r) {
        const int index = static_cast<int>(r.kind);
        const std::string what =
            r.kind == RecordKind::FetchId ? "fetchID" : "fetch" + std::to_string(index);
        if (r.desadr < 0 || r.desadr > 255) {
            add(Severity::Error,
                what + " desadr " + std::to_string(r.desadr) + " is outside 0..255");
        }
        if (r.bytes < 0 || r.bytes > kMaxBlockBytes) {
            add(Severity::Error, what + " bytes " + std::to_string(r.bytes) + " is outside 0.." +
                                     std::to_string(kMaxBlockBytes) +
                                     " (a block read carries at most " +
                                     std::to_string(kMaxBlockBytes) + " bytes)");
        }
        if (r.kind == RecordKind::Fetch1 && r.bytes == 0) {
            add(Severity::Error, "fetch1 reads 0 bytes: the member is never polled");
        }
        if (r.kind == RecordKind::FetchId) {
            ++fetchIdLines_;
            fetchIdBytes_ = r.bytes;
        } else {
            fetchBytes_[index - 1] = std::clamp(r.bytes, 0, kMaxBlockBytes);
            sawFetch1_ |= r.kind == RecordKind::Fetch1;
        }
    }

    void checkScanId(const CfgRecord& r) {
        ++scanIdLines_;
        if (scanIdLines_ == kMaxScanIdEntries + 1) {
            add(Severity::Error,
                "more than ten scanID lines: this and every further one is "
                "ignored");
        }
        const long long end = static_cast<long long>(r.readoffset) + r.length;
        if (r.readoffset < 0 || r.length < 0) {
            add(Severity::Error, "scanID readoffset/length must not be negative");
        } else if (end > kImageBlockBytes) {
            add(Severity::Error, "scanID bytes " + std::to_string(r.readoffset) + ".." +
                                     std::to_string(end - 1) + " reach past the " +
                                     std::to_string(kImageBlockBytes) + "-byte process image");
        } else if (end > kReceiveAreaBytes) {
            add(Severity::Error, "scanID bytes " + std::to_string(r.readoffset) + ".." +
                                     std::to_string(end - 1) + " reach past the " +
                                     std::to_string(kReceiveAreaBytes) +
                                     "-byte receive area of the scan tool");
        } else {
            scanEnds_.push_back({lineNo_, r.name, static_cast<int>(end)});
        }
        if (r.idStr.empty()) add(Severity::Warning, "scanID has an empty IDstr");
    }

    void checkTag(const CfgRecord& r) {
        if (r.dtype == DtypeCode::Unknown) {
            add(Severity::Error, "tag " + inQuotes(r.name) +
                                     " has an unknown dtype (the words "
                                     "are char, int, uint, long, ulong, float, string, bool, "
                                     "timeout, password, s5time, float2, hex, bin)");
            return;
        }
        if (r.bitoffset < 0 || r.bitoffset > 127) {
            add(Severity::Error, "tag " + inQuotes(r.name) + " bitoffset " +
                                     std::to_string(r.bitoffset) + " is outside 0..127");
        }
        if (r.length < 0 || r.length > 127) {
            add(Severity::Error, "tag " + inQuotes(r.name) + " length " + std::to_string(r.length) +
                                     " is outside 0..127");
        }
        if ((r.access & 2) != 0) checkWrite(r);
        const int size = TagByteSize(r.dtype, r.length);
        if (size == 0) return;  // reads no bytes
        const long long end = static_cast<long long>(r.readoffset) + size;
        if (r.readoffset < 0 || end > kImageBlockBytes) {
            add(Severity::Error, "tag " + inQuotes(r.name) + " bytes " +
                                     std::to_string(r.readoffset) + ".." + std::to_string(end - 1) +
                                     " reach past the " + std::to_string(kImageBlockBytes) +
                                     "-byte process image");
        } else {
            tagEnds_.push_back({lineNo_, r.name, static_cast<int>(end)});
        }
        const bool usesDivisor =
            (r.dtype == DtypeCode::Float || r.dtype == DtypeCode::Float2) && r.factor == 0.0f;
        if (usesDivisor && (r.divoffset < 0 || r.divoffset >= kImageBlockBytes)) {
            add(Severity::Error, "tag " + inQuotes(r.name) + " divoffset " +
                                     std::to_string(r.divoffset) + " lies outside the " +
                                     std::to_string(kImageBlockBytes) + "-byte process image");
        }
    }

    // A write sends `length` bytes to `writeoffset`; tags where that cannot carry the value.
    void checkWrite(const CfgRecord& r) {
        if (r.writeoffset < 0 || r.writeoffset > 255) {
            add(Severity::Warning, "writable tag " + inQuotes(r.name) + " has writeoffset " +
                                       std::to_string(r.writeoffset) +
                                       ", outside the device addresses 0..255 a write can "
                                       "reach: it is never written");
        }
        const std::string_view fits = WrittenLengths(r.dtype);
        if (fits.empty()) return;
        const bool matches = r.length > 0 && r.length < 10 &&
                             fits.find(static_cast<char>('0' + r.length)) != std::string_view::npos;
        if (!matches) {
            std::string lengths;
            for (char c : fits) lengths += (lengths.empty() ? "" : " or ") + std::string(1, c);
            add(Severity::Warning, "writable tag " + inQuotes(r.name) + " of dtype " +
                                       DtypeWord(r.dtype) + " has length " +
                                       std::to_string(r.length) + ": its value takes " + lengths +
                                       " byte(s), so no write sends it correctly");
        }
    }

    void finish() {
        int joined = 0;
        for (int b : fetchBytes_) joined += b;
        for (const auto& t : tagEnds_) {
            if (t.end > joined) {
                findings_.push_back({Severity::Warning, t.line,
                                     "tag " + inQuotes(t.name) + " ends at byte " +
                                         std::to_string(t.end) + ", past the " +
                                         std::to_string(joined) +
                                         " bytes that the fetch blocks read"});
            }
        }
        for (const auto& s : scanEnds_) {
            if (fetchIdLines_ > 0 && s.end > fetchIdBytes_) {
                findings_.push_back({Severity::Warning, s.line,
                                     "scanID ends at byte " + std::to_string(s.end) +
                                         ", past the " + std::to_string(fetchIdBytes_) +
                                         " bytes of the fetchID block"});
            }
        }
        if (!toolLoads_) {
            findings_.push_back({Severity::Warning, 0,
                                 "fewer than two lines containing \"scanID\" or \"fetchID\": "
                                 "the scan tool does not load this description"});
        }
        if (!sawFetch1_) {
            findings_.push_back(
                {Severity::Warning, 0, "no fetch1 line: the member is never polled"});
        }
    }

    bool toolLoads_;
    std::vector<CfgFinding> findings_;
    int lineNo_ = 0;
    std::size_t scanIdLines_ = 0;
    int fetchIdLines_ = 0;
    int fetchIdBytes_ = 0;
    int fetchBytes_[4] = {0, 0, 0, 0};
    bool sawFetch1_ = false;
    std::vector<PendingTag> tagEnds_;
    std::vector<PendingTag> scanEnds_;
};

}  // namespace

std::string_view WrittenLengths(DtypeCode dtype) {
    switch (dtype) {
        case DtypeCode::Char:
            return "1";
        case DtypeCode::Int:
        case DtypeCode::Uint:
        case DtypeCode::Password:
        case DtypeCode::S5Time:
            return "2";
        case DtypeCode::Long:
        case DtypeCode::Ulong:
        case DtypeCode::Float2:
            return "4";
        case DtypeCode::Float:
            return "24";
        default:
            return {};
    }
}

std::string DtypeWord(DtypeCode dtype) {
    for (std::string_view word : {"char", "int", "uint", "long", "ulong", "float", "string", "bool",
                                  "timeout", "password", "s5time", "float2", "hex", "bin"}) {
        if (DtypeFromKeyword(word) == dtype) return std::string(word);
    }
    return std::to_string(static_cast<unsigned>(dtype));
}

int TagByteSize(DtypeCode dtype, int length) {
    switch (dtype) {
        case DtypeCode::Char:
            return 1;
        case DtypeCode::Int:
        case DtypeCode::Uint:
        case DtypeCode::Password:
        case DtypeCode::S5Time:
            return 2;
        case DtypeCode::Long:
        case DtypeCode::Ulong:
        case DtypeCode::Float:
        case DtypeCode::Float2:
            return 4;
        case DtypeCode::String:
        case DtypeCode::Bool:
        case DtypeCode::Hex:
        case DtypeCode::Bin:
            return std::max(length, 0);
        case DtypeCode::Timeout:
        case DtypeCode::DeviceId:
        case DtypeCode::Unknown:
            return 0;
    }
    return 0;
}

std::vector<CfgFinding> CheckDeviceDescription(std::istream& in) {
    // Both readers see the same bytes; whether the scan tool loads the file is its own
    // reader's verdict, since it recognises lines by the words they contain.
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream toolView(text);
    const bool toolLoads = ReadToolDeviceType(toolView, {}).loaded();
    std::istringstream driverView(text);
    return Checker(toolLoads).run(driverView);
}

std::optional<CfgFinding> CheckDescriptionFileName(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    if (name.size() <= kMaxCfgNameChars) return std::nullopt;
    return CfgFinding{CfgFinding::Severity::Error, 0,
                      "file name is " + std::to_string(name.size()) +
                          " characters long: the plug-in keeps at most " +
                          std::to_string(kMaxCfgNameChars) +
                          " characters of a CFG= value and cannot find this file"};
}

}  // namespace kvx::config
