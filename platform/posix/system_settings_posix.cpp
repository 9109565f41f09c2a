#include "kvx/platform/system_settings.h"

namespace kvx::platform {

bool HasMachineRegistry() {
    return false;
}

std::optional<std::string> ReadMachineRegistryText(std::string_view, std::string_view) {
    return std::nullopt;
}

std::filesystem::path SystemDirectory() {
    return "/etc";
}

char SearchPathSeparator() {
    return ':';
}

std::optional<std::string> SystemProfileString(const std::filesystem::path&, std::string_view,
                                               std::string_view, std::string_view, std::size_t) {
    return std::nullopt;
}

}  // namespace kvx::platform
