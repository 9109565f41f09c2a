#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "kvx/platform/system_log.h"

namespace kvx::platform {

void SystemLogWarning(std::string_view ident, std::string_view text) {
    // The debugger output stream; event-log registration belongs to an installer.
    const std::string entry = std::string(ident) + ": " + std::string(text) + "\n";
    ::OutputDebugStringA(entry.c_str());
}

}  // namespace kvx::platform
