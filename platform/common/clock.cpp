#include "kvx/platform/clock.h"

#include <thread>

namespace kvx::platform {

namespace {
class SystemTime final : public TimeSource {
  public:
    MonoTime now() const override { return MonoClock::now(); }
    void sleepFor(MonoClock::duration d) override { std::this_thread::sleep_for(d); }
};
}  // namespace

TimeSource& systemTime() {
    static SystemTime time;
    return time;
}

void StopEvent::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

void StopEvent::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool StopEvent::waitFor(MonoClock::duration timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;  // auto-reset
    return true;
}

bool StopEvent::isSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

}  // namespace kvx::platform
