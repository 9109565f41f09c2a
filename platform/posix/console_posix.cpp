#include <signal.h>
#include <unistd.h>

#include "kvx/platform/console.h"

namespace kvx::platform {

namespace {
volatile sig_atomic_t g_requests = 0;
struct sigaction g_previous {};

extern "C" void CountInterrupt(int) {
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
    struct sigaction action {};
    action.sa_handler = CountInterrupt;
    sigemptyset(&action.sa_mask);
    // Interrupted reads of the terminal carry on; the serial reads wake and recheck anyway.
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

}  // namespace kvx::platform
