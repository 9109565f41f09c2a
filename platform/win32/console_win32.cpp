#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <atomic>

#include "kvx/platform/console.h"

namespace kvx::platform {

namespace {
std::atomic<int> g_requests{0};

BOOL WINAPI CountInterrupt(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    g_requests.fetch_add(1);
    return TRUE;
}
}  // namespace

bool IsTerminal(StandardStream stream) {
    switch (stream) {
        case StandardStream::Input:
            return _isatty(_fileno(stdin)) != 0;
        case StandardStream::Output:
            return _isatty(_fileno(stdout)) != 0;
        case StandardStream::Error:
            return _isatty(_fileno(stderr)) != 0;
    }
    return false;
}

InterruptCounter::InterruptCounter() {
    g_requests = 0;
    active_ = ::SetConsoleCtrlHandler(CountInterrupt, TRUE) != 0;
}

InterruptCounter::~InterruptCounter() {
    if (active_) ::SetConsoleCtrlHandler(CountInterrupt, FALSE);
}

int InterruptCounter::Take() { return g_requests.exchange(0); }

}  // namespace kvx::platform
