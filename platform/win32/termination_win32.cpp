#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kvx/platform/termination.h"

namespace kvx::platform {

namespace {

std::mutex g_mutex;
std::condition_variable g_arrived;
const char* g_pending = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type) {
    const char* name = type == CTRL_C_EVENT       ? "CTRL_C"
                       : type == CTRL_BREAK_EVENT ? "CTRL_BREAK"
                       : type == CTRL_CLOSE_EVENT ? "CTRL_CLOSE"
                                                  : "CTRL_SHUTDOWN";
    {
        std::lock_guard lock(g_mutex);
        g_pending = name;
    }
    g_arrived.notify_all();
    return TRUE;
}

}  // namespace

bool HoldTerminationRequests() {
    return ::SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

bool WaitForTerminationRequest(MonoClock::duration timeout, std::string& name) {
    std::unique_lock lock(g_mutex);
    if (!g_arrived.wait_for(lock, timeout, [] { return g_pending != nullptr; })) return false;
    name = g_pending;
    g_pending = nullptr;
    return true;
}

}  // namespace kvx::platform
