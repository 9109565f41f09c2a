#include <io.h>
#include <stdio.h>

#include "kvx/platform/terminal.h"

namespace kvx::platform {

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace kvx::platform
