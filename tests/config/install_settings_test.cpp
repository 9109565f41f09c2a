#include "kvx/config/install_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "kvx/config/profile_file.h"
#include "temp_dir.h"

namespace {

using namespace kvx::config;
using kvx::testing::TempDir;

TEST(InstallSettings, ReadsConfAndDefaults) {
    TempDir dir;
    const auto conf =
        dir.write("opc-server.conf", "[OPC Server]\r\nInstDir=/opt/korvex\r\nVersion=3.1.0\r\n");
    auto s = ReadInstallSettings(conf);
    EXPECT_EQ(s.instDir, "/opt/korvex");
    EXPECT_EQ(s.version, "3.1.0");
    EXPECT_EQ(s.scalingTablePath(), std::filesystem::path("/opt/korvex/FreeScale.dat"));

    s = ReadInstallSettings(conf, "/srv/kvx");
    EXPECT_EQ(s.instDir, "/srv/kvx");
    EXPECT_EQ(s.version, "3.1.0");

    s = ReadInstallSettings(dir / "missing.conf");
    EXPECT_FALSE(s.hasInstDir());
    EXPECT_EQ(s.version, "2.02.01");
    EXPECT_TRUE(s.scalingTablePath().empty());  // no installation directory, no table
}

TEST(InstallSettings, EnvironmentNamesFileAndOverridesInstDir) {
    TempDir dir;
    const auto conf = dir.write("x.conf", "[opc server]\ninstdir=/a\n");
    ::setenv("KORVEX_OPC_SERVER_CONF", conf.c_str(), 1);
    ::unsetenv("KORVEX_OPC_INSTDIR");
    auto s = ReadInstallSettingsFromEnvironment();
    EXPECT_EQ(s.instDir, "/a");
    EXPECT_EQ(s.version, "2.02.01");
    ::setenv("KORVEX_OPC_INSTDIR", dir.path().c_str(), 1);
    s = ReadInstallSettingsFromEnvironment();
    EXPECT_EQ(s.instDir, dir.path());
    ::unsetenv("KORVEX_OPC_INSTDIR");
    ::unsetenv("KORVEX_OPC_SERVER_CONF");
}

TEST(InstallSettings, DeviceDescriptionFoundWithoutRegardToCase) {
    TempDir dir;
    dir.write("typea.cfg", "");
    InstallSettings s;
    s.instDir = dir.path();
    EXPECT_EQ(s.deviceDescriptionPath("TypeA.CFG"), dir / "typea.cfg");
    EXPECT_EQ(s.deviceDescriptionPath("other.cfg"), dir / "other.cfg");
}

TEST(InstallSettings, DeviceDescriptionNamedInAnsiFoundByItsFileSystemName) {
    TempDir dir;
    dir.write(
        "Pr\xC3\xBC"
        "f.cfg",
        "");                            // "Prüf.cfg" as the file system spells it
    dir.write("\xE5\xA0\xB1.cfg", "");  // no Windows-1252 form: the INI holds its bytes
    InstallSettings s;
    s.instDir = dir.path();
    EXPECT_EQ(s.deviceDescriptionPath("Pr\xFC"
                                      "f.cfg"),
              dir /
                  "Pr\xC3\xBC"
                  "f.cfg");
    EXPECT_EQ(s.deviceDescriptionPath("PR\xFC"
                                      "F.CFG"),
              dir /
                  "Pr\xC3\xBC"
                  "f.cfg");
    EXPECT_EQ(s.deviceDescriptionPath("Pr\xC3\xBC"
                                      "f.cfg"),
              dir /
                  "Pr\xC3\xBC"
                  "f.cfg");
    EXPECT_EQ(s.deviceDescriptionPath("\xE5\xA0\xB1.cfg"), dir / "\xE5\xA0\xB1.cfg");
}

TEST(InstallSettings, ScalingTableFoundWithoutRegardToCase) {
    TempDir dir;
    InstallSettings s;
    s.instDir = dir.path();
    EXPECT_EQ(s.scalingTablePath(), dir / "FreeScale.dat");  // none yet: the standard name
    dir.write("freescale.dat", "Address\tTagID\r\n");
    EXPECT_EQ(s.scalingTablePath(), dir / "freescale.dat");  // a table copied in lower case
    dir.write("FreeScale.dat", "Address\tTagID\r\n");
    EXPECT_EQ(s.scalingTablePath(), dir / "FreeScale.dat");  // the exact name wins
}

class IniSearch : public ::testing::Test {
  protected:
    TempDir root;
    std::filesystem::path inst = root / "inst";
    std::filesystem::path path1 = root / "p1";
    std::filesystem::path path2 = root / "p2";
    std::filesystem::path etc = root / "etc";
    InstallSettings settings;
    std::string searchPath;

    void SetUp() override {
        for (const auto& d : {inst, path1, path2, etc}) std::filesystem::create_directories(d);
        settings.instDir = inst;
        searchPath = path1.string() + "::" + path2.string();
    }
};

TEST_F(IniSearch, InstallationDirectoryThenPathThenSystemDirectory) {
    root.write("etc/fenlodrv.ini", "");
    EXPECT_EQ(FindDriverIni(settings, searchPath, etc), etc / "fenlodrv.ini");
    root.write("p2/FENLODRV.INI", "");
    EXPECT_EQ(FindDriverIni(settings, searchPath, etc), path2 / "FENLODRV.INI");
    root.write("p1/Fenlodrv.Ini", "");
    EXPECT_EQ(FindDriverIni(settings, searchPath, etc), path1 / "Fenlodrv.Ini");
    root.write("inst/fenlodrv.ini", "");
    EXPECT_EQ(FindDriverIni(settings, searchPath, etc), inst / "fenlodrv.ini");
}

// The first entry of the name is the INI file even when it cannot be read, and the keys that
// the entry points read from it take their defaults at once: a FIFO without a writer or an
// endless device never holds them up.
TEST_F(IniSearch, FirstEntryWinsAndAnUnreadableOneGivesDefaults) {
    root.write("p1/fenlodrv.ini", "[KXBUS]\nWAIT=5\n[RS232]\nCOM=ttyUSB0\n");
    const auto fifo = inst / "FENLODRV.INI";
    ASSERT_EQ(std::system(("mkfifo '" + fifo.string() + "'").c_str()), 0);
    ASSERT_EQ(FindDriverIni(settings, searchPath, etc), fifo);
    EXPECT_EQ(ReadWaitMs(fifo), 1000);
    EXPECT_EQ(ReadPortName(fifo).name, "COM1");
    EXPECT_EQ(ProfileSnapshot::Read(fifo).Problem(), "is a FIFO");
    std::filesystem::remove(fifo);
    std::filesystem::create_symlink("/dev/zero", inst / "fenlodrv.ini");
    ASSERT_EQ(FindDriverIni(settings, searchPath, etc), inst / "fenlodrv.ini");
    EXPECT_EQ(ReadWaitMs(inst / "fenlodrv.ini"), 1000);
    EXPECT_EQ(ProfileSnapshot::Read(inst / "fenlodrv.ini").Problem(), "is a device");
    // A missing file is no problem, a readable one has none.
    EXPECT_EQ(ProfileSnapshot::Read(inst / "none.ini").Problem(), "");
    EXPECT_EQ(ProfileSnapshot::Read(path1 / "fenlodrv.ini").Problem(), "");
    EXPECT_EQ(ReadWaitMs(path1 / "fenlodrv.ini"), 5);
}

TEST_F(IniSearch, NothingFoundGivesSystemPathAndDefaults) {
    const auto before = std::filesystem::current_path();
    const auto ini = FindDriverIni(settings, searchPath, etc);
    EXPECT_EQ(ini, etc / "fenlodrv.ini");
    EXPECT_FALSE(std::filesystem::exists(ini));
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_EQ(ReadWaitMs(ini), 1000);
    EXPECT_EQ(ReadMaxAddress(ini), 31);
    EXPECT_EQ(ReadPortName(ini).name, "COM1");
    for (int a = 0; a < 32; ++a) EXPECT_EQ(ReadMemberCfg(ini, a), "");
}

TEST_F(IniSearch, UnknownInstallationDirectorySearchesCurrentDirectory) {
    settings.instDir.clear();
    // The test runs from the build tree, which holds no fenlodrv.ini; the PATH entry does.
    root.write("p2/fenlodrv.ini", "");
    EXPECT_EQ(FindDriverIni(settings, searchPath, etc), path2 / "fenlodrv.ini");
    settings.instDir = root / "not-a-directory";
    EXPECT_EQ(FindDriverIni(settings, searchPath, etc), path2 / "fenlodrv.ini");
}

TEST(DriverIni, KeysAndDefaults) {
    TempDir dir;
    const auto ini = dir.write("fenlodrv.ini",
                               "[RS232]\nCOM=COM12\n[KXBUS]\nMAXADR=5\nWAIT=0\n"
                               "[SLAVE07]\nCFG=\nNAME=Seven\n"
                               "[SLAVE20]\nCFG=pump.cfg\n"
                               "[slave03]\ncfg=" +
                                   std::string(60, 'c') + "\nname=" + std::string(200, 'n') + "\n");
    EXPECT_EQ(ReadPortName(ini).name, "COM12");
    EXPECT_TRUE(ReadPortName(ini).problem.empty());
    EXPECT_EQ(ReadMaxAddress(ini), 5);
    EXPECT_EQ(ReadWaitMs(ini), 0);
    EXPECT_EQ(ReadMemberCfg(ini, 7), "");
    EXPECT_EQ(ReadMemberCfg(ini, 20), "pump.cfg");
    EXPECT_EQ(ReadMemberName(ini, 20), "NoID");
    EXPECT_EQ(ReadMemberName(ini, 7), "Seven");
    EXPECT_EQ(ReadMemberCfg(ini, 3), std::string(48, 'c'));
    EXPECT_EQ(ReadMemberName(ini, 3), std::string(126, 'n'));
    EXPECT_EQ(MemberSection(3), "SLAVE03");
    EXPECT_EQ(MemberSection(31), "SLAVE31");
}

TEST(DriverIni, PortNameHeldWholeUpTo255Bytes) {
    TempDir dir;
    const std::string longest = "/dev/" + std::string(250, 'p');
    auto ini = dir.write("a.ini", "[RS232]\nCOM=" + longest + "\n");
    EXPECT_EQ(ReadPortName(ini).name, longest);
    ini = dir.write("b.ini", "[RS232]\nCOM=" + longest + "x\n");
    const auto port = ReadPortName(ini);
    EXPECT_EQ(port.name, "COM1");
    EXPECT_NE(port.problem.find("b.ini"), std::string::npos) << port.problem;
    EXPECT_NE(port.problem.find("COM"), std::string::npos);
}

}  // namespace
