#include "kvx/config/cfg_check.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace kvx::config;
using Severity = CfgFinding::Severity;

// Identification and polling that every test file shares, so that only the line under test
// produces findings.
const std::string kHead =
    "fetchID\tdesadr=0\tbytes=40\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\tend=1\n"
    "fetch1\tdesadr=16\tbytes=64\n";

std::vector<CfgFinding> check(const std::string& text) {
    std::istringstream in(text);
    return CheckDeviceDescription(in);
}

// The findings about line `line` containing `text`.
int count(const std::vector<CfgFinding>& f, int line, Severity s, const std::string& text) {
    int n = 0;
    for (const auto& x : f) {
        if (x.line == line && x.severity == s && x.message.find(text) != std::string::npos) ++n;
    }
    return n;
}

std::string all(const std::vector<CfgFinding>& f) {
    std::string s;
    for (const auto& x : f) s += std::to_string(x.line) + ": " + x.message + "\n";
    return s;
}

TEST(CfgCheck, CleanFileHasNoFindings) {
    const auto f = check(kHead +
                         "node\tname=Values\tx=1\n"
                         "tag\tname=Level\taccess=r\tdtype=int\treadoffset=62\tlength=2\n"
                         "tag\tname=Run\taccess=rw\tdtype=bool\treadoffset=5\tbitoffset=7\t"
                         "length=1\n");
    EXPECT_TRUE(f.empty()) << all(f);
}

TEST(CfgCheck, TagsAndIdentificationPastTheirAreas) {
    const auto f = check(kHead +
                         "tag\tname=A\taccess=r\tdtype=long\treadoffset=1021\tlength=0\n"  // 4
                         "tag\tname=B\taccess=r\tdtype=long\treadoffset=1020\tlength=0\n"  // 5
                         "scanID\treadoffset=250\tlength=7\tIDstr=X\tname=N\tend=1\n"      // 6
                         "scanID\treadoffset=1000\tlength=30\tIDstr=X\tname=N\tend=1\n"    // 7
                         "tag\tname=C\taccess=r\tdtype=string\treadoffset=-1\tlength=4\n"  // 8
                         "tag\tname=D\taccess=r\tdtype=float\treadoffset=0\tfactor=0\t"
                         "divoffset=1024\n");  // 9
    EXPECT_EQ(count(f, 4, Severity::Error, "1024-byte process image"), 1) << all(f);
    EXPECT_EQ(count(f, 5, Severity::Error, ""), 0) << all(f);
    EXPECT_EQ(count(f, 5, Severity::Warning, "past the 64 bytes"), 1) << all(f);
    EXPECT_EQ(count(f, 6, Severity::Error, "256-byte receive area"), 1) << all(f);
    EXPECT_EQ(count(f, 7, Severity::Error, "1024-byte process image"), 1) << all(f);
    EXPECT_EQ(count(f, 8, Severity::Error, "process image"), 1) << all(f);
    EXPECT_EQ(count(f, 9, Severity::Error, "divoffset"), 1) << all(f);
}

TEST(CfgCheck, BlockSizes) {
    const auto f = check(
        "fetchID\tdesadr=0\tbytes=246\n"
        "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\tend=1\n"
        "fetch1\tdesadr=256\tbytes=0\n"
        "fetch2\tdesadr=1\tbytes=245\n");
    EXPECT_EQ(count(f, 1, Severity::Error, "outside 0..245"), 1) << all(f);
    EXPECT_EQ(count(f, 3, Severity::Error, "outside 0..255"), 1) << all(f);
    EXPECT_EQ(count(f, 3, Severity::Error, "never polled"), 1) << all(f);
    EXPECT_EQ(count(f, 4, Severity::Error, ""), 0) << all(f);
}

TEST(CfgCheck, LinesTheTwoReadersSeeDifferently) {
    const auto f = check(kHead +
                         "tag\t\tname=X\taccess=r\tdtype=int\treadoffset=0\n"          // 4
                         "; compare the scanID first\n"                                // 5
                         "fetch1 desadr=1 bytes=2\n"                                   // 6
                         "tag\tname=fetchIDcopy\taccess=r\tdtype=int\treadoffset=0\n"  // 7
                         "tag\tname=T\taccess=r\tdtype=Float\treadoffset=0\n"          // 8
                         "node\tname=Last\n");                                         // 9
    EXPECT_EQ(count(f, 4, Severity::Error, "more than one tab"), 1) << all(f);
    EXPECT_EQ(count(f, 5, Severity::Error, "scanID"), 1) << all(f);
    EXPECT_EQ(count(f, 6, Severity::Error, "fetch1"), 1) << all(f);
    EXPECT_EQ(count(f, 7, Severity::Error, "fetchID"), 1) << all(f);
    EXPECT_EQ(count(f, 8, Severity::Error, "unknown dtype"), 1) << all(f);
    EXPECT_EQ(count(f, 9, Severity::Warning, "ends the line"), 1) << all(f);
}

TEST(CfgCheck, EleventhScanIdAndMissingIdentification) {
    std::string text = kHead;
    for (int i = 0; i < 10; ++i) text += "scanID\treadoffset=0\tlength=2\tIDstr=A\tname=N\tx=1\n";
    auto f = check(text);
    EXPECT_EQ(count(f, 13, Severity::Error, "more than ten"), 1) << all(f);
    EXPECT_EQ(count(f, 12, Severity::Error, "more than ten"), 0) << all(f);

    f = check("fetch1\tdesadr=1\tbytes=4\n");
    EXPECT_EQ(count(f, 0, Severity::Warning, "does not load"), 1) << all(f);
}

// Writable tags whose bytes a write cannot fill correctly, or whose device address a write
// frame cannot carry; read-only tags of the same shape are no concern of writes.
TEST(CfgCheck, WritableTagsThatNoWriteSendsCorrectly) {
    const auto f = check(kHead +
                         "tag\tname=I1\taccess=rw\tdtype=int\treadoffset=0\tlength=1\n"   // 4
                         "tag\tname=F3\taccess=w\tdtype=float\treadoffset=0\tlength=3\n"  // 5
                         "tag\tname=Hi\taccess=rw\tdtype=uint\treadoffset=0\twriteoffset=256\t"
                         "length=2\n"  // 6
                         "tag\tname=Lo\taccess=rw\tdtype=long\treadoffset=0\twriteoffset=-1\t"
                         "length=4\n"  // 7
                         "tag\tname=I1r\taccess=r\tdtype=int\treadoffset=0\tlength=1\t"
                         "writeoffset=300\n"  // 8
                         "tag\tname=Ok\taccess=rw\tdtype=float\treadoffset=0\twriteoffset=255\t"
                         "length=2\n"                                                        // 9
                         "tag\tname=S\taccess=rw\tdtype=string\treadoffset=0\tlength=7\n"    // 10
                         "tag\tname=L2\taccess=rw\tdtype=ulong\treadoffset=0\tlength=2\n");  // 11
    EXPECT_EQ(count(f, 4, Severity::Warning, "\"I1\" of dtype int has length 1"), 1) << all(f);
    EXPECT_EQ(count(f, 5, Severity::Warning, "takes 2 or 4 byte(s)"), 1) << all(f);
    EXPECT_EQ(count(f, 6, Severity::Warning, "writeoffset 256"), 1) << all(f);
    EXPECT_EQ(count(f, 7, Severity::Warning, "writeoffset -1"), 1) << all(f);
    EXPECT_EQ(count(f, 11, Severity::Warning, "takes 4 byte(s)"), 1) << all(f);
    for (int line : {6, 7}) EXPECT_EQ(count(f, line, Severity::Warning, "length"), 0) << all(f);
    for (int line : {8, 9, 10}) EXPECT_EQ(count(f, line, Severity::Warning, ""), 0) << all(f);
    for (int line : {4, 5, 6, 7, 11}) EXPECT_EQ(count(f, line, Severity::Error, ""), 0) << all(f);
}

// Whether the scan tool loads a file is its own reader's verdict: it counts lines by the
// words they contain, not by the plug-in's record kinds.
TEST(CfgCheck, ToolLoadVerdictIsTheToolReadersOwn) {
    // Two lines the tool recognises, neither of them a record of the plug-in.
    auto f = check(
        "scanID readoffset=0 length=6 IDstr=KX-100 name=Pump end=1\n"
        "fetchID desadr=0 bytes=40\nfetch1\tdesadr=16\tbytes=64\n");
    EXPECT_EQ(count(f, 0, Severity::Warning, "does not load"), 0) << all(f);
    // One scanID record line: too few for the tool.
    f = check(
        "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\tend=1\n"
        "fetch1\tdesadr=16\tbytes=64\n");
    EXPECT_EQ(count(f, 0, Severity::Warning, "does not load"), 1) << all(f);
}

TEST(CfgCheck, FileNamesLongerThanTheIniKeeps) {
    EXPECT_FALSE(CheckDescriptionFileName("/some/dir/" + std::string(44, 'a') + ".cfg"));
    const auto f = CheckDescriptionFileName(std::string(45, 'a') + ".cfg");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->severity, Severity::Error);
    EXPECT_NE(f->message.find("49 characters"), std::string::npos) << f->message;
}

TEST(CfgCheck, HostileInputDoesNotBreakTheChecker) {
    std::string text(1 << 20, 'x');  // a 1 MB line without a line end
    text[1000] = '\t';
    text += "\n\\\n";
    for (int i = 0; i < 4096; ++i) text += static_cast<char>(i * 37 % 256);
    const auto f = check(text);
    for (const auto& x : f) EXPECT_GE(x.line, 0);
    EXPECT_GE(f.size(), 1u);  // at least: nothing to identify the device by
}

TEST(TagSize, BytesPerType) {
    EXPECT_EQ(TagByteSize(DtypeCode::Char, 9), 1);
    EXPECT_EQ(TagByteSize(DtypeCode::Uint, 9), 2);
    EXPECT_EQ(TagByteSize(DtypeCode::Float2, 9), 4);
    EXPECT_EQ(TagByteSize(DtypeCode::String, 9), 9);
    EXPECT_EQ(TagByteSize(DtypeCode::Bool, -3), 0);
    EXPECT_EQ(TagByteSize(DtypeCode::Timeout, 9), 0);
}

}  // namespace
