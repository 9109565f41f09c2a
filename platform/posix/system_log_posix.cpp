#include <syslog.h>

#include <string>

#include "kvx/platform/system_log.h"

namespace kvx::platform {

void SystemLogWarning(std::string_view ident, std::string_view text) {
    // No openlog(): a library must not change the identity under which its host logs.
    const std::string entry = std::string(ident) + ": " + std::string(text);
    syslog(LOG_USER | LOG_WARNING, "%s", entry.c_str());
}

}  // namespace kvx::platform
