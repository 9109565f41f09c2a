#include "kvx/config/profile_file.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

using namespace kvx::config;
using kvx::testing::TempDir;

TEST(ProfileRead, NamesWithoutRegardToCaseFirstOccurrenceWins) {
    TempDir dir;
    const auto ini = dir.write("fenlodrv.ini",
                               "; comment\r\n"
                               "[rs232]\r\n"
                               "  com = COM12  \r\n"
                               "Com=COM3\r\n"
                               "[KXBUS]\r\n"
                               "WAIT=250ms\r\n"
                               "[Rs232]\r\n"
                               "COM=COM4\r\n"
                               "OTHER=x\r\n");
    EXPECT_EQ(GetProfileString(ini, "RS232", "COM", "COM1"), "COM12");
    // Only the first section of a name counts, as with GetPrivateProfileStringA.
    EXPECT_EQ(GetProfileString(ini, "RS232", "OTHER", "none"), "none");
    EXPECT_EQ(GetProfileInt(ini, "kxbus", "wait", 1000), 250);
    EXPECT_EQ(GetProfileInt(ini, "KXBUS", "MAXADR", 31), 31);
    EXPECT_EQ(GetProfileString(ini, "SLAVE01", "NAME", "NoID"), "NoID");
    EXPECT_EQ(GetProfileString(dir / "missing.ini", "RS232", "COM", "COM1"), "COM1");
}

// The build's single parse answers every key as a lookup of its own would, on the same
// tricky file: case, repeated sections and keys, comments, quotes, bounds, integers.
TEST(ProfileRead, SnapshotAnswersAsSingleLookups) {
    TempDir dir;
    const auto ini = dir.write("fenlodrv.ini",
                               "top=outside\r\n[rs232]\r\n  com = COM12  \r\nCom=COM3\r\n"
                               "[KXBUS]\r\nWAIT=250ms\r\nMAXADR=\r\n[Rs232]\r\nCOM=COM4\r\n"
                               "OTHER=x\r\n[SLAVE01]\r\n;CFG=no.cfg\r\nCFG=\"a b.cfg\"\r\n"
                               "NAME=abcdefgh\r\n[ slave02 ]\nname=-17x\nnovalue\nk=v");
    const ProfileSnapshot snapshot = ProfileSnapshot::Read(ini);
    const ProfileSnapshot missing = ProfileSnapshot::Read(dir / "missing.ini");
    for (const char* section : {"RS232", "kxbus", "SLAVE01", "Slave02", "S", ""}) {
        for (const char* key :
             {"COM", "other", "WAIT", "MAXADR", "CFG", ";CFG", "NAME", "top", "novalue", "K"}) {
            SCOPED_TRACE(std::string(section) + "/" + key);
            for (std::size_t capacity : {0u, 5u}) {
                EXPECT_EQ(snapshot.GetString(section, key, "dflt", capacity),
                          GetProfileString(ini, section, key, "dflt", capacity));
            }
            EXPECT_EQ(snapshot.GetInt(section, key, 7), GetProfileInt(ini, section, key, 7));
            EXPECT_EQ(missing.GetString(section, key, "dflt"), "dflt");
        }
    }
    EXPECT_EQ(snapshot.GetString("RS232", "COM", ""), "COM12");
    EXPECT_EQ(snapshot.GetString("SLAVE01", "CFG", ""), "a b.cfg");
    EXPECT_EQ(snapshot.GetInt("SLAVE02", "NAME", 0), -17);
}

TEST(ProfileRead, ValuesQuotesCommentsAndLfFiles) {
    TempDir dir;
    const auto ini = dir.write("a.ini",
                               "top=outside\n"
                               "[S]\n"
                               ";KEY=commented\n"
                               "quoted=\"  spaced  \"\n"
                               "single='x'\n"
                               "half=\"open\n"
                               "empty=\n"
                               "novalue\n"
                               "eq=a=b\n"
                               "[ T ]\n"
                               "k=v");  // last line without line end
    EXPECT_EQ(GetProfileString(ini, "S", "top", "d"), "d");
    EXPECT_EQ(GetProfileString(ini, "S", ";KEY", "d"), "d");
    EXPECT_EQ(GetProfileString(ini, "S", "KEY", "d"), "d");
    EXPECT_EQ(GetProfileString(ini, "S", "quoted", "d"), "  spaced  ");
    EXPECT_EQ(GetProfileString(ini, "S", "single", "d"), "x");
    EXPECT_EQ(GetProfileString(ini, "S", "half", "d"), "\"open");
    EXPECT_EQ(GetProfileString(ini, "S", "empty", "d"), "");
    EXPECT_EQ(GetProfileString(ini, "S", "eq", "d"), "a=b");
    EXPECT_EQ(GetProfileString(ini, "t", "K", "d"), "v");
}

TEST(ProfileRead, TextBoundedByCapacity) {
    TempDir dir;
    const auto ini = dir.write("a.ini", "[S]\nCFG=abcdefgh\n");
    EXPECT_EQ(GetProfileString(ini, "S", "CFG", "", 5), "abcd");
    EXPECT_EQ(GetProfileString(ini, "S", "CFG", "", 1), "");
    EXPECT_EQ(GetProfileString(ini, "S", "CFG", "", 0), "abcdefgh");
    EXPECT_EQ(GetProfileString(ini, "S", "none", "defaultlong", 4), "def");
}

TEST(ProfileRead, IntegerTakesLeadingDecimalNumber) {
    TempDir dir;
    const auto ini = dir.write("a.ini",
                               "[S]\na=42abc\nb=-17\nc=abc\nd=\ne=+8\nf=99999999999\ng= 12\n"
                               "h=0x10\n");
    EXPECT_EQ(GetProfileInt(ini, "S", "a", 5), 42);
    EXPECT_EQ(GetProfileInt(ini, "S", "b", 5), -17);
    EXPECT_EQ(GetProfileInt(ini, "S", "c", 5), 0);
    EXPECT_EQ(GetProfileInt(ini, "S", "d", 5), 5);  // empty value: the default
    EXPECT_EQ(GetProfileInt(ini, "S", "e", 5), 8);
    EXPECT_EQ(GetProfileInt(ini, "S", "f", 5), 2147483647);
    EXPECT_EQ(GetProfileInt(ini, "S", "g", 5), 12);
    EXPECT_EQ(GetProfileInt(ini, "S", "h", 5), 0);
}

TEST(ProfileWrite, ReplacesOneKeyAndKeepsEveryOtherLine) {
    TempDir dir;
    const std::string before =
        "\r\n;      Init-file\r\n[RS232]\r\nCom=COM1\r\n\r\n[KXBUS]\r\nMAXADR=31\r\n";
    const auto ini = dir.write("fenlodrv.ini", before);
    ASSERT_TRUE(WriteProfileString(ini, "rs232", "COM", "ttyUSB0"));
    EXPECT_EQ(TempDir::read(ini),
              "\r\n;      Init-file\r\n[RS232]\r\nCom=ttyUSB0\r\n\r\n[KXBUS]\r\nMAXADR=31\r\n");
    EXPECT_EQ(GetProfileString(ini, "RS232", "COM", "COM1"), "ttyUSB0");
}

TEST(ProfileWrite, AddsKeyToSectionOrNewSection) {
    TempDir dir;
    const auto ini = dir.write("a.ini", "[A]\nx=1\n\n[B]\ny=2\n");
    ASSERT_TRUE(WriteProfileString(ini, "a", "z", "3"));
    EXPECT_EQ(TempDir::read(ini), "[A]\nx=1\nz=3\n\n[B]\ny=2\n");
    ASSERT_TRUE(WriteProfileString(ini, "C", "w", "4"));
    EXPECT_EQ(TempDir::read(ini), "[A]\nx=1\nz=3\n\n[B]\ny=2\n\n[C]\nw=4\n");

    const auto fresh = dir / "new.ini";
    ASSERT_TRUE(WriteProfileString(fresh, "LINKSPY", "Timeout", "30"));
    EXPECT_EQ(GetProfileInt(fresh, "linkspy", "timeout", 0), 30);

    const auto noEnd = dir.write("b.ini", "[A]\nx=1");
    ASSERT_TRUE(WriteProfileString(noEnd, "A", "y", "2"));
    EXPECT_EQ(TempDir::read(noEnd), "[A]\nx=1\ny=2\n");
}

TEST(ProfileWrite, RefusesTextsThatWouldBreakTheFile) {
    TempDir dir;
    const auto ini = dir.write("a.ini", "[A]\nx=1\n");
    EXPECT_FALSE(WriteProfileString(ini, "A", "x", "1\n[B]"));
    EXPECT_FALSE(WriteProfileString(ini, "A", "k=v", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "A]", "x", "1"));
    EXPECT_FALSE(WriteProfileString(ini, "", "x", "1"));
    EXPECT_FALSE(WriteProfileString(dir / "nodir" / "a.ini", "A", "x", "1"));
    EXPECT_EQ(TempDir::read(ini), "[A]\nx=1\n");
}

}  // namespace
