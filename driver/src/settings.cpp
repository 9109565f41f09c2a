#include "settings.h"

#include <fmt/format.h>

#include "kvx/config/install_settings.h"
#include "kvx/config/profile_file.h"
#include "notifier.h"

namespace kvx::driver {

PluginSettings ResolvePluginSettings() {
    const config::InstallSettings install = config::ReadInstallSettingsFromEnvironment();
    PluginSettings settings;
    settings.installDir = install.instDir;
    settings.scalingTablePath = install.scalingTablePath();
    settings.version = install.version;
    settings.iniPath = config::FindDriverIniFromEnvironment(install);
    return settings;
}

std::int32_t ReadCyclePause(const std::filesystem::path& ini) {
    return config::ReadWaitMs(ini);
}

bus::AnswerCheck ReadAnswerCheck(const std::filesystem::path& ini) {
    constexpr int kDefault = static_cast<int>(bus::AnswerCheck::AddressesAndData);
    const int level = config::GetProfileInt(ini, "KXBUS", "ANSWERCHECK", kDefault);
    if (level < 0 || level > static_cast<int>(bus::AnswerCheck::Full)) {
        Notify("ZAN KVX-OPC-Server INI-ERROR",
               fmt::format("{}: [KXBUS] ANSWERCHECK={} is not 0, 1 or 2; answers are checked "
                           "as with 1 (bus address, data address, byte count, data check)",
                           ini.string(), level));
        return bus::AnswerCheck::AddressesAndData;
    }
    return static_cast<bus::AnswerCheck>(level);
}

std::string ReadPortName(const std::filesystem::path& ini) {
    config::PortSetting port = config::ReadPortName(ini);
    if (!port.problem.empty()) Notify("ZAN KVX-OPC-Server INI-ERROR", port.problem);
    return port.name;
}

}  // namespace kvx::driver
