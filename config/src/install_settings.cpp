#include "kvx/config/install_settings.h"

#include <cstdio>
#include <cstdlib>

#include "kvx/config/profile_file.h"
#include "kvx/platform/file_lookup.h"
#include "kvx/platform/file_name_text.h"
#include "kvx/platform/port_name.h"
#include "kvx/platform/system_settings.h"

namespace kvx::config {

namespace fs = std::filesystem;

namespace {
constexpr std::string_view kServerSection = "OPC Server";

std::string_view env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string_view(v) : std::string_view{};
}

fs::path absoluteOf(const fs::path& p) {
    std::error_code ec;
    fs::path a = fs::absolute(p, ec);
    return ec ? p : a.lexically_normal();
}

bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return !p.empty() && fs::is_directory(p, ec);
}
}  // namespace

fs::path InstallSettings::scalingTablePath() const {
    if (!hasInstDir()) return {};
    // A table copied from another system may be spelled in other letter case.
    const fs::path standard = instDir / "FreeScale.dat";
    if (auto found = platform::ResolveNoCase(standard)) return *found;
    return standard;
}

fs::path InstallSettings::deviceDescriptionPath(std::string_view cfg) const {
    const fs::path joined = instDir / fs::path(std::string(cfg));
    if (auto found = platform::ResolveNoCase(joined)) return *found;
    // The INI holds the name as ANSI text (as the service tool writes it); the file system
    // may spell it otherwise (UTF-8 on POSIX).
    if (auto found = platform::ResolveNoCase(instDir / platform::FileNameFromAnsi(cfg))) {
        return *found;
    }
    return joined;
}

InstallSettings ReadInstallSettings(const fs::path& serverConf, std::string_view instDirOverride) {
    InstallSettings s;
    s.instDir = GetProfileString(serverConf, kServerSection, "InstDir", "");
    s.version = GetProfileString(serverConf, kServerSection, "Version", kDefaultVersion);
    if (!instDirOverride.empty()) s.instDir = std::string(instDirOverride);
    return s;
}

InstallSettings ReadInstallSettingsFromEnvironment() {
    if (platform::HasMachineRegistry()) {
        // Where there is a registry the installer writes the settings there.
        InstallSettings s;
        s.instDir = platform::ReadMachineRegistryText(kRegistryKey, "InstDir").value_or("");
        s.version = platform::ReadMachineRegistryText(kRegistryKey, "Version")
                        .value_or(std::string(kDefaultVersion));
        if (const std::string_view dir = env("KORVEX_OPC_INSTDIR"); !dir.empty()) {
            s.instDir = std::string(dir);
        }
        return s;
    }
    std::string_view conf = env("KORVEX_OPC_SERVER_CONF");
    if (conf.empty()) conf = kDefaultServerConf;
    return ReadInstallSettings(fs::path(std::string(conf)), env("KORVEX_OPC_INSTDIR"));
}

fs::path FindDriverIni(const InstallSettings& settings, std::string_view searchPath,
                       const fs::path& systemDir) {
    // The first entry of that name wins, whatever it is: one that cannot be read is told at the
    // namespace build rather than passed over for a file elsewhere that nobody meant.
    // First the installation directory; when it is unknown or not a directory the plug-in
    // starts where the process stands.
    const fs::path first = isDirectory(settings.instDir) ? settings.instDir : fs::path(".");
    if (auto found = platform::FindEntryNoCase(first, kDriverIniName)) return absoluteOf(*found);

    while (!searchPath.empty()) {
        const std::size_t colon = searchPath.find(platform::SearchPathSeparator());
        const std::string_view dir = searchPath.substr(0, colon);
        searchPath =
            colon == std::string_view::npos ? std::string_view{} : searchPath.substr(colon + 1);
        if (dir.empty()) continue;
        if (auto found = platform::FindEntryNoCase(fs::path(std::string(dir)), kDriverIniName)) {
            return absoluteOf(*found);
        }
    }
    if (auto found = platform::FindEntryNoCase(systemDir, kDriverIniName)) {
        return absoluteOf(*found);
    }
    return absoluteOf(systemDir / "fenlodrv.ini");
}

fs::path FindDriverIniFromEnvironment(const InstallSettings& settings) {
    return FindDriverIni(settings, env("PATH"), platform::SystemDirectory());
}

std::string MemberSection(int address) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "SLAVE%02d", address);
    return buf;
}

int ReadWaitMs(const fs::path& ini) {
    return GetProfileInt(ini, "KXBUS", "WAIT", 1000);
}

int ReadMaxAddress(const fs::path& ini) {
    return ReadMaxAddress(ProfileSnapshot::Read(ini));
}

std::string ReadMemberCfg(const fs::path& ini, int address) {
    return ReadMemberCfg(ProfileSnapshot::Read(ini), address);
}

std::string ReadMemberName(const fs::path& ini, int address) {
    return ReadMemberName(ProfileSnapshot::Read(ini), address);
}

int ReadMaxAddress(const ProfileSnapshot& ini) {
    return ini.GetInt("KXBUS", "MAXADR", 31);
}

std::string ReadMemberCfg(const ProfileSnapshot& ini, int address) {
    return ini.GetString(MemberSection(address), "CFG", "", kMaxCfgNameChars + 1);
}

std::string ReadMemberName(const ProfileSnapshot& ini, int address) {
    return ini.GetString(MemberSection(address), "NAME", "NoID", 127);
}

PortSetting ReadPortName(const fs::path& ini) {
    PortSetting port;
    port.name = GetProfileString(ini, "RS232", "COM", "COM1");
    if (port.name.size() > platform::kMaxPortNameLength) {
        port.problem = ini.string() + ": [RS232] COM is " + std::to_string(port.name.size()) +
                       " bytes long (at most " + std::to_string(platform::kMaxPortNameLength) +
                       " allowed); using COM1";
        port.name = "COM1";
    }
    return port;
}

}  // namespace kvx::config
