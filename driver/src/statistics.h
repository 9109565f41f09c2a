#pragma once
// Figures of the bus and of each member for hosts that ask for them (fenlodrv/plugin_ext.h).
// The polling thread and the write paths only store into atomics and wake waiters: nothing
// here makes them wait for a host.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kvx::driver {

struct MemberStatistics {
    std::atomic<std::uint64_t> lastGoodPoll{0};  // FILETIME ticks; 0: never
    std::atomic<std::uint64_t> lastPollSequence{0};
    std::atomic<std::uint64_t> pollsAccepted{0};
    std::atomic<std::uint64_t> pollsFailed{0};
    std::atomic<std::uint32_t> consecutiveFailures{0};
    std::atomic<std::uint32_t> lastPollMicros{0};
    std::atomic<std::uint64_t> writesAcknowledged{0};
    std::atomic<std::uint64_t> writesRefused{0};
    std::atomic<std::uint64_t> writesUnacknowledged{0};
};

// The sequence number of the member polls that ended, with a wait for the next one.
class PollSignal {
  public:
    std::uint64_t sequence() const { return sequence_.load(); }

    // A poll ended; returns its sequence number. The lock is taken only while someone waits,
    // and then only for as long as a waiter looks at the number.
    std::uint64_t next() {
        const std::uint64_t now = sequence_.fetch_add(1) + 1;
        if (waiters_.load() > 0) {
            { std::lock_guard lock(mutex_); }
            changed_.notify_all();
        }
        return now;
    }

    // The sequence number once it is above `after`, or after `timeout`.
    std::uint64_t waitAfter(std::uint64_t after, std::chrono::milliseconds timeout) {
        waiters_.fetch_add(1);
        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, timeout, [&] { return sequence_.load() > after; });
        }
        waiters_.fetch_sub(1);
        return sequence_.load();
    }

  private:
    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
};

struct BusStatistics {
    std::atomic<std::uint32_t> lastCycleMicros{0};
    std::atomic<std::uint32_t> meanCycleMicros{0};
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<std::uint64_t> exchanges{0};
    std::atomic<std::uint64_t> failedExchanges{0};
    std::atomic<std::uint64_t> portOpenFailures{0};
    PollSignal polls;
};

}  // namespace kvx::driver
