#pragma once
// Monotonic time and waits, behind a small seam so that timing rules (pauses, the cycle
// pause, stop waits) can be driven by a fake clock in tests and by the real one in use.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kvx::platform {

using Millis = std::chrono::milliseconds;
using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;

// The seam. `now` is monotonic; `sleepFor` blocks the calling thread.
class TimeSource {
  public:
    virtual ~TimeSource() = default;
    virtual MonoTime now() const = 0;
    virtual void sleepFor(MonoClock::duration d) = 0;
};

// The process-wide real clock.
TimeSource& systemTime();

// A point in time after which an operation gives up.
class Deadline {
  public:
    Deadline(const TimeSource& time, MonoClock::duration budget)
        : time_(&time), end_(time.now() + budget) {}
    bool expired() const { return time_->now() >= end_; }
    MonoClock::duration remaining() const {
        auto left = end_ - time_->now();
        return left > MonoClock::duration::zero() ? left : MonoClock::duration::zero();
    }
    MonoTime end() const { return end_; }

  private:
    const TimeSource* time_;
    MonoTime end_;
};

// Auto-reset event: `set` wakes one waiter at once (or the next one to wait), and the wait
// that observes it clears it. Replaces the Win32 event the polling thread sleeps on.
class StopEvent {
  public:
    void set();
    void reset();
    // True when the event was signalled within `timeout` (and is now cleared).
    bool waitFor(MonoClock::duration timeout);
    // Peek without clearing.
    bool isSet() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace kvx::platform
