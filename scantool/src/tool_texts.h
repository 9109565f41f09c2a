#pragma once
// Captions and texts that several of the tool's sequences show.

#include <string>

#include "kvx/platform/port_name.h"

namespace kvx::scantool::texts {

inline constexpr const char* kIniError = "ZAN LINKSPY INI-ERROR";
inline constexpr const char* kCfgError = "ZAN LINKSPY CFG-ERROR";
inline constexpr const char* kFileError = "ZAN LINKSPY FILE-ERROR";
inline constexpr const char* kFolderError = "ZAN LINKSPY FOLDER-ERROR";
inline constexpr const char* kIniMissing = "Can\xB4t found the LINKSPY.INI file!";

inline std::string PortNameTooLong() {
    return "The port name is longer than " + std::to_string(platform::kMaxPortNameLength) +
           " characters!";
}

}  // namespace kvx::scantool::texts
