#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "kvx/platform/console.h"
#include "termination_signals.h"

namespace kvx::platform {

namespace {
volatile sig_atomic_t g_requests = 0;
volatile sig_atomic_t g_unsettled = 0;
struct sigaction g_previous {};

extern "C" void CountInterrupt(int sig) {
    if (g_unsettled) {
        // A second request: end as an interrupt ends a program. The signal is blocked while
        // this handler runs, so it is delivered with the default action when it returns.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(sig, &fallback, nullptr);
        ::raise(sig);
        return;
    }
    g_unsettled = 1;
    g_requests = g_requests + 1;
}
}  // namespace

bool IsTerminal(StandardStream stream) {
    switch (stream) {
        case StandardStream::Input:
            return ::isatty(STDIN_FILENO) == 1;
        case StandardStream::Output:
            return ::isatty(STDOUT_FILENO) == 1;
        case StandardStream::Error:
            return ::isatty(STDERR_FILENO) == 1;
    }
    return false;
}

InterruptCounter::InterruptCounter() {
    g_requests = 0;
    g_unsettled = 0;
    struct sigaction action {};
    action.sa_handler = CountInterrupt;
    sigemptyset(&action.sa_mask);
    // Interrupted reads of the terminal carry on; a long serial read carries on as well, and
    // a second request ends the process from the handler.
    action.sa_flags = SA_RESTART;
    active_ = ::sigaction(SIGINT, &action, &g_previous) == 0;
}

InterruptCounter::~InterruptCounter() {
    if (active_) ::sigaction(SIGINT, &g_previous, nullptr);
}

int InterruptCounter::Take() {
    // Block the signal while reading and clearing so that no request is lost in between.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    ::sigprocmask(SIG_BLOCK, &set, &old);
    const int n = static_cast<int>(g_requests);
    g_requests = 0;
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    return n;
}

void InterruptCounter::Settle() {
    g_unsettled = 0;
}

TerminationHold::TerminationHold() {
    static_assert(sizeof(sigset_t) <= sizeof(saved_));
    sigset_t set = TerminationSignals();
    sigset_t old;
    ::sigprocmask(SIG_BLOCK, &set, &old);
    std::memcpy(saved_, &old, sizeof old);
}

TerminationHold::~TerminationHold() {
    sigset_t old;
    std::memcpy(&old, saved_, sizeof old);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace kvx::platform
