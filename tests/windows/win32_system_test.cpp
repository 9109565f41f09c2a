// The Windows side of the settings: our profile reader held against the system's own
// GetPrivateProfileStringA on files that test its rules at the edges, the installation
// settings from the registry, and the Windows directory as the last place of the INI file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kvx/config/install_settings.h"
#include "kvx/config/profile_file.h"
#include "kvx/platform/system_settings.h"
#include "temp_dir.h"

namespace {

using kvx::testing::TempDir;
namespace fs = std::filesystem;

struct Query {
    const char* section;
    const char* key;
};

TEST(ProfileReader, GivesWhatTheSystemGivesOnTrickyFiles) {
    TempDir dir;
    const std::vector<std::string> files = {
        // letter case, blanks and tabs around names and values, first occurrence wins
        "[RS232]\r\n COM = COM3 "
        "\r\ncom=COM9\r\n[rs232]\r\nCOM=COM7\r\n[KXBUS]\r\n\tWAIT\t=\t250\t\r\n",
        // quotes: matched pairs of either kind are removed, others kept
        "[Q]\nA=\"quoted\"\nB='single'\nC=\"open\nD=\"mixed'\nE=\"\"\nF= \" blanks \" \n",
        // comments, values with '=' and ';', keys without '=', empty values, a line before
        // any section
        "KEY=outside\n; comment\n[S]\n;A=commented\nA=x=y\nB=v ; not a comment\nC\nD=\nE =  \n",
        // section headers with blanks, a header without its bracket, LF and CR LF mixed
        "[ Spaced Name ]\r\nK=1\n[Open\nK=2\r\n[Next]\nK=3\n",
        // a last line without a line end
        "[Tail]\nK=last",
        // a section that appears twice, keys in both
        "[Twice]\nA=1\n[Other]\nA=9\n[TWICE]\nA=2\nB=3\n",
    };
    const std::vector<Query> queries = {
        {"RS232", "COM"}, {"rs232", "Com"}, {"KXBUS", "WAIT"},    {"Q", "A"},    {"Q", "B"},
        {"Q", "C"},       {"Q", "D"},       {"Q", "E"},           {"Q", "F"},    {"S", "A"},
        {"S", "B"},       {"S", "C"},       {"S", "D"},           {"S", "E"},    {"S", "Missing"},
        {"Missing", "K"}, {"", "KEY"},      {"Spaced Name", "K"}, {"Open", "K"}, {"Next", "K"},
        {"Tail", "K"},    {"Twice", "A"},   {"Twice", "B"},
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        const fs::path file = dir.write("case" + std::to_string(i) + ".ini", files[i]);
        for (const Query& q : queries) {
            for (std::size_t capacity : {std::size_t{1024}, std::size_t{5}}) {
                const auto system =
                    kvx::platform::SystemProfileString(file, q.section, q.key, "dflt", capacity);
                ASSERT_TRUE(system.has_value());
                EXPECT_EQ(kvx::config::GetProfileString(file, q.section, q.key, "dflt", capacity),
                          *system)
                    << "file " << i << " [" << q.section << "] " << q.key << " capacity "
                    << capacity;
            }
        }
    }
    // A missing file gives the default, cut to the caller's buffer like every value.
    const fs::path missing = dir / "missing.ini";
    EXPECT_EQ(kvx::config::GetProfileString(missing, "RS232", "COM", "COM1", 3),
              *kvx::platform::SystemProfileString(missing, "RS232", "COM", "COM1", 3));
}

// The registry key as the installer writes it, through the system's reg program.
class RegistrySettings : public ::testing::Test {
  protected:
    static constexpr const char* kKey = "\"HKLM\\SOFTWARE\\KORVEX\\OPC Server\"";
    void SetUp() override { removeKey(); }
    void TearDown() override { removeKey(); }
    static void removeKey() {
        std::system((std::string("reg delete ") + kKey + " /f >NUL 2>&1").c_str());
    }
    static void addValue(const std::string& name, const std::string& type,
                         const std::string& data) {
        const std::string command = std::string("reg add ") + kKey + " /v " + name + " /t " + type +
                                    " /d \"" + data + "\" /f >NUL";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
};

TEST_F(RegistrySettings, InstDirAndVersionComeFromTheKeyAndOnlyAsText) {
    _putenv("KORVEX_OPC_INSTDIR=");
    auto s = kvx::config::ReadInstallSettingsFromEnvironment();
    EXPECT_FALSE(s.hasInstDir());
    EXPECT_EQ(s.version, "2.02.01");

    const std::string longDir = "C:\\Korvex\\" + std::string(300, 'd');
    addValue("InstDir", "REG_SZ", longDir);
    addValue("Version", "REG_SZ", "3.10.7");
    s = kvx::config::ReadInstallSettingsFromEnvironment();
    EXPECT_EQ(s.instDir.string(), longDir);  // held whole
    EXPECT_EQ(s.version, "3.10.7");

    // A value of another type counts as missing.
    addValue("Version", "REG_DWORD", "7");
    EXPECT_EQ(kvx::config::ReadInstallSettingsFromEnvironment().version, "2.02.01");
}

TEST(WindowsDirectory, IsTheLastPlaceOfTheDriverIni) {
    const fs::path windows = kvx::platform::SystemDirectory();
    ASSERT_TRUE(fs::is_directory(windows)) << windows;
    EXPECT_EQ(kvx::platform::SearchPathSeparator(), ';');

    TempDir dir;
    kvx::config::InstallSettings settings;
    settings.instDir = dir.path();
    const fs::path first = dir / "first";
    const fs::path second = dir / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    const std::string path = first.string() + ";" + second.string();
    EXPECT_EQ(kvx::config::FindDriverIni(settings, path, windows),
              fs::absolute(windows / "fenlodrv.ini").lexically_normal());
    dir.write("second/fenlodrv.ini", "[KXBUS]\nWAIT=5\n");
    // The file system ignores letter case: the name may come back as it was asked for.
    EXPECT_TRUE(fs::equivalent(kvx::config::FindDriverIni(settings, path, windows),
                               second / "fenlodrv.ini"));
}

}  // namespace
