#include <unistd.h>

#include "kvx/platform/terminal.h"

namespace kvx::platform {

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

}  // namespace kvx::platform
