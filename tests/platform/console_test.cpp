// Interrupt requests of a command-line program: the first is counted as a Cancel press, a
// second before it was acted on ends the process, and a hold keeps the end back until a file
// is written.

#include "kvx/platform/console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using kvx::platform::InterruptCounter;
using kvx::platform::TerminationHold;

class Interrupts : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Interrupts, FirstRequestIsCountedAndASettledOneCountsAgain) {
    InterruptCounter counter;
    ASSERT_TRUE(counter.active());
    std::raise(SIGINT);
    EXPECT_EQ(counter.Take(), 1);
    EXPECT_EQ(counter.Take(), 0);
    counter.Settle();
    std::raise(SIGINT);
    EXPECT_EQ(counter.Take(), 1);
    counter.Settle();
}

TEST_F(Interrupts, TerminateRequestIsCountedAsWell) {
    InterruptCounter counter;
    std::raise(SIGTERM);
    EXPECT_EQ(counter.Take(), 1);
    counter.Settle();
}

TEST_F(Interrupts, SecondRequestBeforeSettlingEndsTheProcess) {
    EXPECT_EXIT(
        {
            InterruptCounter counter;
            std::raise(SIGINT);
            // Taking the count is not acting on it: the Cancel may still be on its way.
            counter.Take();
            std::raise(SIGINT);
            std::fputs("still running\n", stderr);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "^$");
}

TEST_F(Interrupts, HoldLetsTheFileBeFinishedFirst) {
    EXPECT_EXIT(
        {
            InterruptCounter counter;
            std::raise(SIGINT);
            {
                const TerminationHold hold;
                std::raise(SIGINT);
                std::fputs("written whole\n", stderr);
            }
            std::fputs("after the hold\n", stderr);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "^written whole\n$");
    // A second request that reaches another thread waits for the hold as well.
    EXPECT_EXIT(
        {
            InterruptCounter counter;
            std::raise(SIGINT);
            // Started before the hold, so the thread does not inherit its blocked requests.
            std::atomic<bool> go{false};
            std::thread other([&go] {
                while (!go.load()) std::this_thread::yield();
                std::raise(SIGTERM);
            });
            {
                const TerminationHold hold;
                go = true;
                other.join();
                std::fputs("written whole\n", stderr);
            }
            std::fputs("after the hold\n", stderr);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "^written whole\n$");
    // Without a counter an interrupt ends the process, but not inside a hold either.
    EXPECT_EXIT(
        {
            const TerminationHold outer;
            {
                const TerminationHold inner;
                std::raise(SIGTERM);
            }
            std::fputs("outer hold still on\n", stderr);
        },
        ::testing::KilledBySignal(SIGTERM), "^outer hold still on\n$");
}

}  // namespace
