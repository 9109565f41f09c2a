#pragma once
// Installation settings of the plug-in and its INI file "fenlodrv.ini".
//
// The installation directory and version text come from the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\KORVEX\OPC Server (values InstDir and Version) on Windows, and
// elsewhere from the profile file /etc/korvex/opc-server.conf, section [OPC Server], keys
// InstDir and Version; the environment variable KORVEX_OPC_SERVER_CONF names another file.
// KORVEX_OPC_INSTDIR overrides InstDir everywhere. A missing key, file or value gives the
// defaults (no installation directory, version "2.02.01").

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::config {

inline constexpr std::string_view kDefaultVersion = "2.02.01";
inline constexpr std::string_view kDefaultServerConf = "/etc/korvex/opc-server.conf";
inline constexpr std::string_view kDriverIniName = "FENLODRV.INI";
inline constexpr std::string_view kRegistryKey = "SOFTWARE\\KORVEX\\OPC Server";

struct InstallSettings {
    std::filesystem::path instDir;  // empty when unknown
    std::string version{kDefaultVersion};

    bool hasInstDir() const { return !instDir.empty(); }
    // <instdir>/FreeScale.dat, found without regard to letter case (the exact name when no
    // file matches); empty when the installation directory is unknown.
    std::filesystem::path scalingTablePath() const;
    // The device description named by a member's CFG value, relative to the installation
    // directory, found without regard to letter case. The exact join when no file matches.
    std::filesystem::path deviceDescriptionPath(std::string_view cfg) const;
};

// Reads the settings from the given profile file, then applies `instDirOverride` when it is
// not empty.
InstallSettings ReadInstallSettings(const std::filesystem::path& serverConf,
                                    std::string_view instDirOverride = {});

// Reads the settings the way the plug-in does: the environment's file and override, else the
// default file.
InstallSettings ReadInstallSettingsFromEnvironment();

// Where the plug-in's INI file is: "FENLODRV.INI" (any letter case) in the installation
// directory (or the current directory when it is unknown or not a directory), else in each
// directory of `searchPath` (separated by ':', ';' on Windows; in order), else in `systemDir`;
// when found nowhere, systemDir/fenlodrv.ini whether it exists or not. The first entry of that
// name counts whatever it is (a directory, a FIFO, an unreadable file): it is not passed over
// for another file. The returned path is absolute. The process's current directory is never
// changed.
std::filesystem::path FindDriverIni(const InstallSettings& settings, std::string_view searchPath,
                                    const std::filesystem::path& systemDir = "/etc");

// FindDriverIni with the PATH environment variable and the system's directory (the Windows
// directory, /etc on POSIX).
std::filesystem::path FindDriverIniFromEnvironment(const InstallSettings& settings);

// Typed readers of the INI keys, with their defaults. The file is read afresh at every call.
int ReadWaitMs(const std::filesystem::path& ini);      // [KXBUS] WAIT, default 1000
int ReadMaxAddress(const std::filesystem::path& ini);  // [KXBUS] MAXADR, default 31
// [SLAVEnn] CFG: the member's device description file name, at most 48 characters; empty when
// no member is configured at this address. A longer value is cut, so a file with a longer
// name cannot be found through it.
inline constexpr std::size_t kMaxCfgNameChars = 48;
std::string ReadMemberCfg(const std::filesystem::path& ini, int address);
// [SLAVEnn] NAME: at most 126 characters, default "NoID".
std::string ReadMemberName(const std::filesystem::path& ini, int address);

// The same keys from one parse of the file, for the namespace build's pass over 32 sections.
class ProfileSnapshot;
int ReadMaxAddress(const ProfileSnapshot& ini);
std::string ReadMemberCfg(const ProfileSnapshot& ini, int address);
std::string ReadMemberName(const ProfileSnapshot& ini, int address);

// [RS232] COM: the bus port name, held whole (default "COM1"). A name longer than 255 bytes
// is refused: the default is used and `problem` holds a message for the notifier.
struct PortSetting {
    std::string name;
    std::string problem;  // empty when the value was taken as it is
};
PortSetting ReadPortName(const std::filesystem::path& ini);

// "SLAVE%02d"
std::string MemberSection(int address);

}  // namespace kvx::config
