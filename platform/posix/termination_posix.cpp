#include <signal.h>

#include <cerrno>
#include <chrono>

#include "kvx/platform/termination.h"

namespace kvx::platform {

namespace {

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal";
    }
}

}  // namespace

bool HoldTerminationRequests() {
    sigset_t set = terminationSet();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool WaitForTerminationRequest(MonoClock::duration timeout, std::string& name) {
    sigset_t set = terminationSet();
    const MonoTime end = MonoClock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - MonoClock::now());
        if (left.count() < 0) left = std::chrono::nanoseconds(0);
        timespec ts{static_cast<time_t>(left.count() / 1'000'000'000),
                    static_cast<long>(left.count() % 1'000'000'000)};
        const int sig = ::sigtimedwait(&set, nullptr, &ts);
        if (sig > 0) {
            name = signalName(sig);
            return true;
        }
        if (errno == EINTR) continue;
        return false;  // EAGAIN: the time-out passed
    }
}

}  // namespace kvx::platform
