#pragma once
// Termination requests to a program (interrupt from the terminal, a stop from the service
// manager). A program holds them back before it starts any thread and then waits for one in
// its main thread, so no handler ever runs in the middle of other work.

#include <string>

#include "kvx/platform/clock.h"

namespace kvx::platform {

// Call at the start of main, before any thread exists (threads inherit the setting).
// False when the system refused.
bool HoldTerminationRequests();

// Waits up to `timeout` for a termination request. True when one arrived; `name` then
// names it ("SIGINT", "SIGTERM", ...).
bool WaitForTerminationRequest(MonoClock::duration timeout, std::string& name);

}  // namespace kvx::platform
