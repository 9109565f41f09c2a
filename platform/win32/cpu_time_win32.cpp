#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

#include "kvx/platform/cpu_time.h"

namespace kvx::platform {

namespace {
std::uint64_t Ticks(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
}  // namespace

std::chrono::nanoseconds ThreadCpuTime() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return std::chrono::nanoseconds::zero();
    }
    // FILETIME counts 100 ns ticks.
    return std::chrono::nanoseconds((Ticks(kernel) + Ticks(user)) * 100);
}

}  // namespace kvx::platform
