#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>

#include "kvx/platform/console.h"
#include "termination_signals.h"

namespace kvx::platform {

namespace {
// The requests a counter takes: interrupt (Ctrl-C) and terminate (a stop from the session
// or a service manager).
constexpr int kCounted[] = {SIGINT, SIGTERM};

volatile sig_atomic_t g_requests = 0;
volatile sig_atomic_t g_unsettled = 0;
// A second request that came during a hold: it ends the process when the last hold goes.
volatile sig_atomic_t g_endAfterHold = 0;
std::atomic<int> g_holds{0};
struct sigaction g_previous[2]{};

// Ends the process as the request `sig` ends a program that does not catch it. The signal
// is blocked while a handler runs, so it is delivered with the default action on return.
void EndBy(int sig) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    ::raise(sig);
}

extern "C" void CountInterrupt(int sig) {
    if (g_unsettled) {
        // A second request. A hold blocks the requests only in its own thread: one that
        // reaches another thread of the program waits for the hold's end here too.
        if (g_holds.load() > 0) {
            g_endAfterHold = sig;
        } else {
            EndBy(sig);
        }
        return;
    }
    g_unsettled = 1;
    g_requests = g_requests + 1;
}

sigset_t CountedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kCounted) sigaddset(&set, sig);
    return set;
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

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

void WarningBeep() {
    if (IsTerminal(StandardStream::Error)) {
        const char bell = '\a';
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, &bell, 1);
    }
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
    // Both requests block each other while the handler runs.
    action.sa_mask = CountedSignals();
    active_ = true;
    for (std::size_t i = 0; i < std::size(kCounted); ++i) {
        active_ = ::sigaction(kCounted[i], &action, &g_previous[i]) == 0 && active_;
    }
}

InterruptCounter::~InterruptCounter() {
    for (std::size_t i = 0; i < std::size(kCounted); ++i) {
        ::sigaction(kCounted[i], &g_previous[i], nullptr);
    }
}

int InterruptCounter::Take() {
    // Block the signals while reading and clearing so that no request is lost in between.
    sigset_t set = CountedSignals(), old;
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
    g_holds.fetch_add(1);
}

TerminationHold::~TerminationHold() {
    sigset_t old;
    std::memcpy(&old, saved_, sizeof old);
    // Requests held back in this thread are handled now, while the hold still counts.
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    if (g_holds.fetch_sub(1) == 1 && g_endAfterHold) {
        const int sig = g_endAfterHold;
        g_endAfterHold = 0;
        EndBy(sig);
    }
}

}  // namespace kvx::platform
