#pragma once
// The settings the entry points read: installation settings, the driver INI file and the
// keys of its [RS232] and [KXBUS] sections.

#include <cstdint>
#include <filesystem>
#include <string>

#include "kvx/bus/bus_link.h"

namespace kvx::driver {

struct PluginSettings {
    std::filesystem::path iniPath;
    std::filesystem::path installDir;        // empty when not configured
    std::filesystem::path scalingTablePath;  // empty when the installation directory is unknown
    std::string version;
};

// Installation settings and the INI search, as SOXpSInitialize does them.
PluginSettings ResolvePluginSettings();

// [KXBUS] WAIT in milliseconds (default 1000; 0 or less: no cycle pause).
std::int32_t ReadCyclePause(const std::filesystem::path& ini);

// [KXBUS] ANSWERCHECK: how much of a read's answer is checked (0 start and end only, 1 also
// addresses, byte count and data check (the default), 2 also zero byte and header check).
// Another value is told and gives the default.
bus::AnswerCheck ReadAnswerCheck(const std::filesystem::path& ini);

// [RS232] COM, held whole. A name longer than the system accepts is refused with a message
// and the default "COM1" is used.
std::string ReadPortName(const std::filesystem::path& ini);

}  // namespace kvx::driver
