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
