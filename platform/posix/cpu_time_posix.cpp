#include <time.h>

#include "kvx/platform/cpu_time.h"

namespace kvx::platform {

std::chrono::nanoseconds ThreadCpuTime() {
    timespec ts{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return std::chrono::nanoseconds::zero();
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace kvx::platform
