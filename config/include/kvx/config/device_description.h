#pragma once
// Device description files (.cfg): the logical-line reader shared by the plug-in and the
// scan tool, the plug-in's record parser, and the scan tool's reader.

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::config {

// Value-type code of a tag: the OLE VARIANT numbers for plain types, own codes otherwise.
enum class DtypeCode : std::uint16_t {
    Char = 17,
    Int = 2,
    Uint = 18,
    Long = 3,
    Ulong = 19,
    Float = 4,
    String = 8,
    Bool = 11,
    Timeout = 30000,
    Password = 30001,  // never passed to the host
    S5Time = 31000,
    Float2 = 31001,
    DeviceId = 31002,
    Hex = 31003,
    Bin = 31004,
    Unknown = 65535,
};

// `dtype` keyword -> code; exact match, case included; anything else is Unknown.
DtypeCode DtypeFromKeyword(std::string_view keyword);

// Reads logical lines: empty physical lines are skipped, a line whose character before the
// line feed is a backslash continues on the next non-empty line (backslash -> blank).
// `capacity` is the buffer size of the reader (512 for the plug-in, 260 for the tool): a
// logical line holds at most capacity-1 characters including its line feed; the rest of a
// longer physical line is read as a further line.
class LogicalLineReader {
  public:
    LogicalLineReader(std::istream& in, std::size_t capacity);
    // Next logical line (with its line ending as read, if it fit); nullopt at end of file.
    std::optional<std::string> next();
    // Physical line number (1-based) where the last returned logical line started.
    int lineNumber() const { return startLine_; }

  private:
    std::istream& in_;
    std::size_t capacity_;
    int physicalLine_ = 0;
    int startLine_ = 0;
};

enum class RecordKind : std::int32_t {
    Ignored = 0,
    Fetch1 = 1,
    Fetch2 = 2,
    Fetch3 = 3,
    Fetch4 = 4,
    FetchId = 5,
    ScanId = 6,
    Node = 7,
    Tag = 8,
};

inline constexpr std::size_t kCfgTextField = 50;  // 49 characters + terminator

// The plug-in parser's output for one logical line. Fields of other kinds keep what the
// previous line left.
struct CfgRecord {
    RecordKind kind = RecordKind::Ignored;
    // kinds 1..5
    std::int32_t desadr = 0;
    std::int32_t bytes = 0;
    // kind 6 (readoffset, length shared with tag below)
    std::string idStr;  // at most 49 characters
    // kinds 6, 7, 8
    std::string name;  // at most 49 characters
    // kind 8
    std::uint8_t access = 0;  // bit 0 read, bit 1 write
    DtypeCode dtype = DtypeCode::Unknown;
    std::int32_t readoffset = 0;
    std::int32_t writeoffset = 0;
    float factor = 0.0f;
    std::int32_t divoffset = 0;
    std::int32_t bitoffset = 0;
    std::int32_t length = 0;
    std::int32_t fscale = 0;
    // Physical line where this record's logical line started (for messages).
    int line = 0;
};

// The plug-in's parser: "read next record". Returns false at end of file.
class CfgParser {
  public:
    explicit CfgParser(std::istream& in);
    bool ReadNextRecord(CfgRecord& record);

  private:
    LogicalLineReader reader_;
};

// Parses one logical line into `record` by the plug-in's rules (exposed for tests and tools).
void ParseCfgLine(const std::string& line, CfgRecord& record);

// One identification entry of a device type.
struct ScanIdEntry {
    std::int32_t readoffset = 0;
    std::int32_t length = 0;
    std::string idStr;  // at most 49 characters
    std::string name;   // at most 49 characters
};

inline constexpr std::size_t kMaxScanIdEntries = 10;

// What the scan tool takes from one .cfg file.
struct ToolDeviceType {
    std::filesystem::path file;
    std::int32_t fetchIdAddress = 0;
    std::int32_t fetchIdBytes = 0;
    std::vector<ScanIdEntry> entries;  // at most kMaxScanIdEntries
    int recognisedLines = 0;           // scanID and fetchID lines together
    bool loaded() const { return recognisedLines >= 2; }
    // Warnings such as an eleventh scanID line, naming the line.
    std::vector<std::string> warnings;
};

// The tool's first pass: "scanID" / "fetchID" lines.
ToolDeviceType ReadToolDeviceType(std::istream& in, const std::filesystem::path& file);

// The tool's second pass: the test block from the "fetch1" line; previous values are kept
// where a key is missing.
void ReadToolTestBlock(std::istream& in, std::int32_t& desadr, std::int32_t& bytes);

}  // namespace kvx::config
