#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <atomic>

#include "kvx/platform/console.h"

namespace kvx::platform {

namespace {
std::atomic<int> g_requests{0};
std::atomic<bool> g_unsettled{false};
std::atomic<bool> g_counting{false};
std::atomic<int> g_holds{0};
std::atomic<bool> g_endAfterHold{false};
constexpr UINT kInterruptedExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

BOOL WINAPI CountInterrupt(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    // A second request: the default handler ends the process.
    if (g_unsettled.exchange(true)) return FALSE;
    g_requests.fetch_add(1);
    return TRUE;
}

// Asked first during a hold: a request that would end the process ends it after the hold.
BOOL WINAPI HoldInterrupt(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    if (type != CTRL_CLOSE_EVENT && g_counting.load()) {
        if (!g_unsettled.exchange(true)) {
            g_requests.fetch_add(1);
            return TRUE;
        }
    }
    g_endAfterHold = true;
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

Utf8Console::Utf8Console() {
    const UINT now = ::GetConsoleOutputCP();
    // No console (output to a pipe or file): nothing to change.
    if (now != 0 && now != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) previous_ = now;
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) ::SetConsoleOutputCP(previous_);
}

void WarningBeep() {
    ::MessageBeep(MB_ICONEXCLAMATION);  // 48, the exclamation sound
}

InterruptCounter::InterruptCounter() {
    g_requests = 0;
    g_unsettled = false;
    active_ = ::SetConsoleCtrlHandler(CountInterrupt, TRUE) != 0;
    g_counting = active_;
}

InterruptCounter::~InterruptCounter() {
    g_counting = false;
    if (active_) ::SetConsoleCtrlHandler(CountInterrupt, FALSE);
}

int InterruptCounter::Take() {
    return g_requests.exchange(0);
}

void InterruptCounter::Settle() {
    g_unsettled = false;
}

TerminationHold::TerminationHold() {
    // Handlers registered last are asked first.
    if (g_holds.fetch_add(1) == 0) ::SetConsoleCtrlHandler(HoldInterrupt, TRUE);
}

TerminationHold::~TerminationHold() {
    if (g_holds.fetch_sub(1) == 1) {
        ::SetConsoleCtrlHandler(HoldInterrupt, FALSE);
        if (g_endAfterHold.exchange(false)) ::ExitProcess(kInterruptedExit);
    }
}

}  // namespace kvx::platform
