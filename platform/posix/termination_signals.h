#pragma once
// The signals that ask a program to end: interrupt, terminate, hang-up.

#include <signal.h>

namespace kvx::platform {

inline sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace kvx::platform
