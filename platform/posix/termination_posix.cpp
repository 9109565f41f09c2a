#include <signal.h>

#include <cerrno>
#include <chrono>

#include "kvx/platform/termination.h"
#include "termination_signals.h"

namespace kvx::platform {

namespace {

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
    sigset_t set = TerminationSignals();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool WaitForTerminationRequest(MonoClock::duration timeout, std::string& name) {
    sigset_t set = TerminationSignals();
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
