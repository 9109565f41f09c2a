#pragma once
// Process groups, so that a program started for the user (a help viewer) can be ended with
// every process it started in turn. Where the system has no process groups these do nothing.

#include <cstdint>

namespace kvx::platform {

// Makes the calling process the leader of a new process group; called in a child process
// before it runs its program.
void enterNewProcessGroup();

// Asks every process of the group led by `leader` to end; with `force`, ends them at once.
void endProcessGroup(std::int64_t leader, bool force);

}  // namespace kvx::platform
