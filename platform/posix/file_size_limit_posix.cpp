#include <sys/resource.h>

#include <csignal>

#include "kvx/platform/file_size_limit.h"

namespace kvx::platform {

ScopedFileSizeLimit::ScopedFileSizeLimit(std::uint64_t bytes) {
    struct rlimit old {};
    if (::getrlimit(RLIMIT_FSIZE, &old) != 0) return;
    // Past the limit a write fails with EFBIG instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = static_cast<rlim_t>(bytes);
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return;
    oldSoft_ = old.rlim_cur;
    oldHard_ = old.rlim_max;
    active_ = true;
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
    if (!active_) return;
    struct rlimit lim {};
    lim.rlim_cur = static_cast<rlim_t>(oldSoft_);
    lim.rlim_max = static_cast<rlim_t>(oldHard_);
    ::setrlimit(RLIMIT_FSIZE, &lim);
}

}  // namespace kvx::platform
