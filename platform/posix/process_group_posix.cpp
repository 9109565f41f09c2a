#include <signal.h>
#include <unistd.h>

#include "kvx/platform/process_group.h"

namespace kvx::platform {

void enterNewProcessGroup() {
    ::setpgid(0, 0);
}

void endProcessGroup(std::int64_t leader, bool force) {
    if (leader <= 0) return;
    ::kill(-static_cast<pid_t>(leader), force ? SIGKILL : SIGTERM);
}

}  // namespace kvx::platform
