#pragma once
// The operating system's log (syslog on POSIX), for messages of components that have no
// window and may run without a terminal.

#include <string_view>

namespace kvx::platform {

// Writes one warning entry "<ident>: <text>". Never blocks for long and never fails loudly:
// a system without a log daemon simply drops the entry.
void SystemLogWarning(std::string_view ident, std::string_view text);

}  // namespace kvx::platform
