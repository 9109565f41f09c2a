#pragma once
// Where the system keeps machine-wide settings of installed software, and its own folder.
// Windows: the registry under HKEY_LOCAL_MACHINE and the Windows directory. POSIX systems
// have no registry; the callers read a configuration file there instead.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kvx::platform {

// True where the system has a machine-wide registry.
bool HasMachineRegistry();

// The text (REG_SZ) value `name` of the key HKEY_LOCAL_MACHINE\`key`, read whole. nullopt
// when there is no registry, or the key or the value is missing, or the value is not text.
std::optional<std::string> ReadMachineRegistryText(std::string_view key, std::string_view name);

// The system's own folder, the last place searched for settings files: the Windows directory,
// /etc on POSIX.
std::filesystem::path SystemDirectory();

// Separator of the directories in the PATH environment variable.
char SearchPathSeparator();

// The system's own reading of a profile-file key (GetPrivateProfileStringA on Windows, with a
// buffer of `capacity` bytes), to hold our reader against. nullopt where the system has none.
std::optional<std::string> SystemProfileString(const std::filesystem::path& file,
                                               std::string_view section, std::string_view key,
                                               std::string_view fallback,
                                               std::size_t capacity = 1024);

}  // namespace kvx::platform
