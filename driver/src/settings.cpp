#include "settings.h"

#include "kvx/config/install_settings.h"
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

std::string ReadPortName(const std::filesystem::path& ini) {
    config::PortSetting port = config::ReadPortName(ini);
    if (!port.problem.empty()) Notify("ZAN KVX-OPC-Server INI-ERROR", port.problem);
    return port.name;
}

}  // namespace kvx::driver
