#include "kvx/platform/clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace kvx::platform {
namespace {

TEST(StopEvent, SetWakesAWaiterAtOnceAndResetsItself) {
    StopEvent event;
    std::thread setter([&] {
        std::this_thread::sleep_for(Millis(20));
        event.set();
    });
    const auto start = MonoClock::now();
    // A long timeout that must not be served out: the set wakes the waiter.
    EXPECT_TRUE(event.waitFor(std::chrono::seconds(30)));
    EXPECT_LT(MonoClock::now() - start, std::chrono::seconds(10));
    setter.join();
    // Auto-reset: the signal was consumed by the wait.
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.waitFor(Millis(1)));
}

TEST(StopEvent, SignalBeforeWaitIsKept) {
    StopEvent event;
    event.set();
    EXPECT_TRUE(event.isSet());
    EXPECT_TRUE(event.waitFor(Millis(0)));
    event.set();
    event.reset();
    EXPECT_FALSE(event.waitFor(Millis(0)));
}

TEST(Deadline, ExpiresAndNeverReportsNegativeTime) {
    Deadline deadline(systemTime(), Millis(5));
    std::this_thread::sleep_for(Millis(10));
    EXPECT_TRUE(deadline.expired());
    EXPECT_EQ(deadline.remaining(), MonoClock::duration::zero());
}

}  // namespace
}  // namespace kvx::platform
