#pragma once
// Processor time used by the calling thread (user and system), for figures that must not
// depend on how busy the rest of the machine is.

#include <chrono>

namespace kvx::platform {

std::chrono::nanoseconds ThreadCpuTime();

}  // namespace kvx::platform
