#include "kvx/config/device_description.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using namespace kvx::config;

CfgRecord parse(const std::string& line) {
    CfgRecord r;
    ParseCfgLine(line, r);
    return r;
}

std::vector<std::string> logicalLines(const std::string& text, std::size_t capacity,
                                      std::vector<int>* starts = nullptr) {
    std::istringstream in(text);
    LogicalLineReader reader(in, capacity);
    std::vector<std::string> out;
    while (auto line = reader.next()) {
        out.push_back(*line);
        if (starts) starts->push_back(reader.lineNumber());
    }
    return out;
}

// ---- logical lines ---------------------------------------------------------------------------

TEST(LogicalLines, SkipsEmptyLinesAndJoinsContinuations) {
    std::vector<int> starts;
    const auto lines =
        logicalLines("\nfetch1\tdesadr=16\\\n\n\r\n\tbytes=32\nnode\tname=A\tx=1\n", 512, &starts);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "fetch1\tdesadr=16 \tbytes=32\n");
    EXPECT_EQ(lines[1], "node\tname=A\tx=1\n");
    EXPECT_EQ(starts, (std::vector<int>{2, 6}));
}

TEST(LogicalLines, CrLfReadsLikeLf) {
    const auto lines = logicalLines("fetch1\tdesadr=1\\\r\n\tbytes=2\r\n\r\ntag\tname=x\r\n", 512);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "fetch1\tdesadr=1 \tbytes=2\n");
    EXPECT_EQ(lines[1], "tag\tname=x\n");
}

TEST(LogicalLines, LongLineIsCutAndItsRestReadAsFurtherLine) {
    const std::string longLine = std::string(600, 'a') + "\n";
    const auto lines = logicalLines(longLine, 512);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 511u);
    EXPECT_EQ(lines[1], std::string(89, 'a') + "\n");
    const auto tool = logicalLines(longLine, 260);
    ASSERT_EQ(tool.size(), 3u);
    EXPECT_EQ(tool[0].size(), 259u);
}

TEST(LogicalLines, ContinuationNeverExceedsCapacity) {
    std::string text;
    for (int i = 0; i < 50; ++i) text += std::string(30, 'x') + "\\\n";
    text += "end\n";
    for (std::size_t cap : {260u, 512u}) {
        for (const auto& line : logicalLines(text, cap)) EXPECT_LE(line.size(), cap - 1);
    }
}

TEST(LogicalLines, EndOfFileInsideContinuationDropsTheJoinedPart) {
    const auto lines = logicalLines("node\tname=a\tx=1\nfetch1\tdesadr=1\\\n\n", 512);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "node\tname=a\tx=1\n");
}

TEST(LogicalLines, LastLineWithoutLineEndAndNulBytes) {
    auto lines = logicalLines("node\tname=a\tx=1\nfetch1\tdesadr=3", 512);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "fetch1\tdesadr=3");
    // Text after a NUL byte is not part of the line, as in a C string.
    lines = logicalLines(std::string("fetch1\tdesadr=3\0bytes=9\nx\n", 26), 512);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "fetch1\tdesadr=3");
}

// ---- the plug-in's parser --------------------------------------------------------------------

TEST(CfgParse, FetchLines) {
    auto r = parse("fetch1\tdesadr=16\tbytes=32\n");
    EXPECT_EQ(r.kind, RecordKind::Fetch1);
    EXPECT_EQ(r.desadr, 16);
    EXPECT_EQ(r.bytes, 32);
    // Blanks, tabs and '=' between key and value read alike.
    r = parse("fetchID\tdesadr 200\tbytes = 48\n");
    EXPECT_EQ(r.kind, RecordKind::FetchId);
    EXPECT_EQ(r.desadr, 200);
    EXPECT_EQ(r.bytes, 48);
    r = parse("fetch4\tdesadr=-7x\n");
    EXPECT_EQ(r.kind, RecordKind::Fetch4);
    EXPECT_EQ(r.desadr, -7);
    EXPECT_EQ(r.bytes, 0);  // missing key
}

TEST(CfgParse, KeywordRule) {
    EXPECT_EQ(parse("tag\t\tname=x\tdtype=int\n").kind, RecordKind::Ignored);   // two tabs
    EXPECT_EQ(parse("fetch1 desadr=16 bytes=32\n").kind, RecordKind::Ignored);  // no tab
    EXPECT_EQ(parse("Fetch1\tdesadr=16\n").kind, RecordKind::Ignored);          // case matters
    EXPECT_EQ(parse(" fetch1\tdesadr=16\n").kind, RecordKind::Ignored);
    EXPECT_EQ(parse("; fetch1\tdesadr=16\n").kind, RecordKind::Ignored);
    EXPECT_EQ(parse("").kind, RecordKind::Ignored);
    EXPECT_EQ(parse("\t\t\t").kind, RecordKind::Ignored);
}

TEST(CfgParse, ScanIdTextsRunToTheLastTabBeforeNextAttribute) {
    auto r = parse("scanID\treadoffset=2\tlength=8\tIDstr=KX 100\tname=Pump station 1\tend=1\n");
    EXPECT_EQ(r.kind, RecordKind::ScanId);
    EXPECT_EQ(r.readoffset, 2);
    EXPECT_EQ(r.length, 8);
    EXPECT_EQ(r.idStr, "KX 100");
    EXPECT_EQ(r.name, "Pump station 1");
    // Two tabs before the next attribute: the text ends at the last of them.
    r = parse("node\tname=Valves\t\tx=1\n");
    EXPECT_EQ(r.name, "Valves\t");
}

TEST(CfgParse, TextAtLineEndRunsToTheLineEnd) {
    auto r = parse("scanID\treadoffset=0\tlength=4\tIDstr=AB12\tname=Mixer\r\n");
    EXPECT_EQ(r.name, "Mixer");
    r = parse("node\tname=Tanks\t\n");
    EXPECT_EQ(r.name, "Tanks");
    r = parse("node\tname=Tanks");
    EXPECT_EQ(r.name, "Tanks");
    r = parse("node\tname=");
    EXPECT_EQ(r.name, "");
}

TEST(CfgParse, OverlongTextsAreCutAtTheirField) {
    const std::string longName(300, 'N');
    auto r = parse("scanID\treadoffset=0\tlength=4\tIDstr=" + longName + "\tname=" + longName +
                   "\tx=1\n");
    EXPECT_EQ(r.idStr, std::string(49, 'N'));
    EXPECT_EQ(r.name, std::string(49, 'N'));
}

TEST(CfgParse, TagLineAllAttributes) {
    auto r = parse(
        "tag\tname=Temp\taccess=rw\tdtype=float2\treadoffset=12\twriteoffset=300\t"
        "factor=-2.5e-1\tdivoffset=7\tbitoffset=3\tlength=2\tfscale=1\n");
    EXPECT_EQ(r.kind, RecordKind::Tag);
    EXPECT_EQ(r.name, "Temp");
    EXPECT_EQ(r.access, 3);
    EXPECT_EQ(r.dtype, DtypeCode::Float2);
    EXPECT_EQ(r.readoffset, 12);
    EXPECT_EQ(r.writeoffset, 300);
    EXPECT_FLOAT_EQ(r.factor, -0.25f);
    EXPECT_EQ(r.divoffset, 7);
    EXPECT_EQ(r.bitoffset, 3);
    EXPECT_EQ(r.length, 2);
    EXPECT_EQ(r.fscale, 1);
}

TEST(CfgParse, AccessTexts) {
    auto access = [](const std::string& text) {
        return parse("tag\tname=x\taccess=" + text + "\tdtype=int\n").access;
    };
    EXPECT_EQ(access("rw"), 3);
    EXPECT_EQ(access("read"), 1);
    EXPECT_EQ(access("write"), 3);  // "write" holds an r
    EXPECT_EQ(access("w"), 2);
    EXPECT_EQ(access("none"), 0);
    EXPECT_EQ(parse("tag\tname=x\tdtype=int\n").access, 0);
}

TEST(CfgParse, DtypeKeywords) {
    auto dtype = [](const std::string& text) {
        return parse("tag\tname=x\tdtype=" + text + "\treadoffset=0\n").dtype;
    };
    EXPECT_EQ(dtype("char"), DtypeCode::Char);
    EXPECT_EQ(dtype("int"), DtypeCode::Int);
    EXPECT_EQ(dtype("uint"), DtypeCode::Uint);
    EXPECT_EQ(dtype("long"), DtypeCode::Long);
    EXPECT_EQ(dtype("ulong"), DtypeCode::Ulong);
    EXPECT_EQ(dtype("float"), DtypeCode::Float);
    EXPECT_EQ(dtype("Float"), DtypeCode::Unknown);
    EXPECT_EQ(dtype("string"), DtypeCode::String);
    EXPECT_EQ(dtype("bool"), DtypeCode::Bool);
    EXPECT_EQ(dtype("timeout"), DtypeCode::Timeout);
    EXPECT_EQ(dtype("password"), DtypeCode::Password);
    EXPECT_EQ(dtype("s5time"), DtypeCode::S5Time);
    EXPECT_EQ(dtype("float2"), DtypeCode::Float2);
    EXPECT_EQ(dtype("hex"), DtypeCode::Hex);
    EXPECT_EQ(dtype("bin"), DtypeCode::Bin);
    EXPECT_EQ(dtype("float "), DtypeCode::Unknown);
    EXPECT_EQ(parse("tag\tname=x\treadoffset=0\n").dtype, DtypeCode::Unknown);
}

TEST(CfgParse, KeyInsideEarlierValueIsFoundThere) {
    // "length" first occurs inside the name: the value read is what follows the name.
    auto r = parse("tag\tname=Maxlength\taccess=r\tdtype=int\treadoffset=4\tlength=2\n");
    EXPECT_EQ(r.length, 0);
    r = parse("tag\tname=Cablelength7\taccess=r\tdtype=int\tlength=2\n");
    EXPECT_EQ(r.length, 7);
    // "readoffset" is searched before "writeoffset" and "divoffset": each finds its own.
    r = parse("tag\tname=x\tdivoffset=5\twriteoffset=6\treadoffset=7\n");
    EXPECT_EQ(r.readoffset, 7);
    EXPECT_EQ(r.writeoffset, 6);
    EXPECT_EQ(r.divoffset, 5);
}

TEST(CfgParse, NumbersSaturateAndFactorStaysFinite) {
    auto r = parse("fetch1\tdesadr=99999999999999999999\tbytes=-99999999999999999999\n");
    EXPECT_EQ(r.desadr, 2147483647);
    EXPECT_EQ(r.bytes, -2147483647 - 1);
    r = parse("tag\tname=x\tfactor=1e300\n");
    EXPECT_TRUE(std::isfinite(r.factor));
    EXPECT_GT(r.factor, 1e38f);
    r = parse("tag\tname=x\tfactor=nan\n");
    EXPECT_EQ(r.factor, 0.0f);
    r = parse("tag\tname=x\tfactor=.5\n");
    EXPECT_FLOAT_EQ(r.factor, 0.5f);
}

TEST(CfgParse, FieldsOfOtherKindsKeepPreviousValues) {
    CfgRecord r;
    ParseCfgLine("fetch2\tdesadr=5\tbytes=6\n", r);
    ParseCfgLine("node\tname=Group\tx=1\n", r);
    EXPECT_EQ(r.kind, RecordKind::Node);
    EXPECT_EQ(r.desadr, 5);
    ParseCfgLine("comment line\n", r);
    EXPECT_EQ(r.kind, RecordKind::Ignored);
    EXPECT_EQ(r.name, "Group");
}

TEST(CfgParser, ReadsFileRecordByRecordWithLineNumbers) {
    std::istringstream in(
        "; device KX-100\n"
        "fetch1\tdesadr=16\tbytes=32\n"
        "\n"
        "tag\tname=Level\taccess=r\t\\\n"
        "dtype=int\treadoffset=4\n"
        "fetch1 desadr=1 bytes=2\n");
    CfgParser parser(in);
    CfgRecord r;
    std::vector<std::pair<RecordKind, int>> seen;
    while (parser.ReadNextRecord(r)) seen.emplace_back(r.kind, r.line);
    EXPECT_EQ(seen, (std::vector<std::pair<RecordKind, int>>{{RecordKind::Ignored, 1},
                                                             {RecordKind::Fetch1, 2},
                                                             {RecordKind::Tag, 4},
                                                             {RecordKind::Ignored, 6}}));
}

TEST(CfgParser, ContinuedTagKeepsKeywordOfFirstLine) {
    std::istringstream in("tag\tname=Level\\\n\n\taccess=rw\tdtype=uint\treadoffset=8\n");
    CfgParser parser(in);
    CfgRecord r;
    ASSERT_TRUE(parser.ReadNextRecord(r));
    EXPECT_EQ(r.kind, RecordKind::Tag);
    EXPECT_EQ(r.name, "Level ");
    EXPECT_EQ(r.access, 3);
    EXPECT_EQ(r.dtype, DtypeCode::Uint);
    EXPECT_EQ(r.readoffset, 8);
    EXPECT_FALSE(parser.ReadNextRecord(r));
}

// ---- the tool's reader -----------------------------------------------------------------------

TEST(ToolReader, LoadsIdentificationAndNeedsTwoLines) {
    std::istringstream in(
        "fetchID\tdesadr=100\tbytes=40\n"
        "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\tend=1\n"
        "scanID\treadoffset=6\tlength=4\tIDstr=V2\tname=Pump V2\tend=1\n"
        "fetch1\tdesadr=16\tbytes=32\n"
        "tag\tname=x\taccess=r\tdtype=int\n");
    const auto t = ReadToolDeviceType(in, "pump.cfg");
    EXPECT_TRUE(t.loaded());
    EXPECT_EQ(t.recognisedLines, 3);
    EXPECT_EQ(t.fetchIdAddress, 100);
    EXPECT_EQ(t.fetchIdBytes, 40);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(t.entries[1].readoffset, 6);
    EXPECT_EQ(t.entries[1].length, 4);
    EXPECT_EQ(t.entries[1].idStr, "V2");
    EXPECT_EQ(t.entries[1].name, "Pump V2");
    EXPECT_TRUE(t.warnings.empty());

    std::istringstream one("scanID\treadoffset=0\tlength=6\tIDstr=KX\tname=P\tend=1\n");
    EXPECT_FALSE(ReadToolDeviceType(one, "one.cfg").loaded());
}

TEST(ToolReader, RecognisesWordsAnywhereAndKeepsPreviousBlock) {
    std::istringstream in(
        "; the scanID line below names the pump\n"  // a comment counts as scanID line
        "fetchID desadr=7 bytes=9\n"                // blanks only: still read by the tool
        "fetchID\tbytes=12\n");                     // desadr missing: keeps 7
    const auto t = ReadToolDeviceType(in, "c.cfg");
    EXPECT_EQ(t.recognisedLines, 3);
    EXPECT_EQ(t.fetchIdAddress, 7);
    EXPECT_EQ(t.fetchIdBytes, 12);
    ASSERT_EQ(t.entries.size(), 1u);
    EXPECT_EQ(t.entries[0].length, 0);
}

TEST(ToolReader, EleventhScanIdIsIgnoredWithWarning) {
    std::string text = "fetchID\tdesadr=0\tbytes=64\n";
    for (int i = 0; i < 11; ++i) {
        text += "scanID\treadoffset=" + std::to_string(i) + "\tlength=2\tIDstr=I" +
                std::to_string(i) + "\tname=N\tend=1\n";
    }
    std::istringstream in(text);
    const auto t = ReadToolDeviceType(in, "many.cfg");
    ASSERT_EQ(t.entries.size(), kMaxScanIdEntries);
    EXPECT_EQ(t.entries.back().idStr, "I9");
    ASSERT_EQ(t.warnings.size(), 1u);
    EXPECT_NE(t.warnings[0].find("many.cfg:12"), std::string::npos) << t.warnings[0];
}

TEST(ToolReader, ToolLinesAre259Characters) {
    // The desadr key sits past character 259: the tool reads it from a further line.
    std::string line = "fetch1\t" + std::string(260, 'c') + "\tdesadr=5\tbytes=6\n";
    std::istringstream in(line);
    std::int32_t desadr = 1, bytes = 2;
    ReadToolTestBlock(in, desadr, bytes);
    EXPECT_EQ(desadr, 1);  // the rest of the line does not contain "fetch1"
    EXPECT_EQ(bytes, 2);
    std::istringstream in2(
        "x\nfetch1 desadr=16 bytes=32\nfetch2\tdesadr=1\tbytes=1\nfetch1\tbytes=8\n");
    ReadToolTestBlock(in2, desadr, bytes);
    EXPECT_EQ(desadr, 16);
    EXPECT_EQ(bytes, 8);
}

}  // namespace
