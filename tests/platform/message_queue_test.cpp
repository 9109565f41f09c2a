// The desktop message queue: posting never waits for a message being shown, messages are
// shown one at a time in order, and a flood is cut at the queue's capacity.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "kvx/platform/message_box.h"

namespace {

using namespace std::chrono_literals;

// A message box that stays open until the test presses its OK.
struct Desk {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> shown;
    int open = 0;
    int maxOpen = 0;
    bool released = false;

    void show(const std::string& caption, const std::string& text) {
        std::unique_lock lock(mutex);
        shown.push_back(caption + ": " + text);
        maxOpen = std::max(maxOpen, ++open);
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        --open;
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitShown(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return shown.size() >= n; });
    }
};

TEST(MessageQueue, PostReturnsWhileABoxIsOpenAndShowsInOrderUpToItsCapacity) {
    Desk desk;
    {
        kvx::platform::MessageQueue queue(
            [&](const std::string& c, const std::string& t) { desk.show(c, t); }, 2);
        ASSERT_TRUE(queue.post("CFG-ERROR", "first"));
        ASSERT_TRUE(desk.waitShown(1));  // the first box is open and waits for its OK
        EXPECT_TRUE(queue.post("CFG-ERROR", "second"));
        EXPECT_TRUE(queue.post("INI-ERROR", "third"));
        EXPECT_FALSE(queue.post("INI-ERROR", "dropped"));  // two already wait
        desk.release();
        ASSERT_TRUE(desk.waitShown(3));
        // The queue's destructor waits for the box being shown.
    }
    EXPECT_EQ(desk.shown, (std::vector<std::string>{"CFG-ERROR: first", "CFG-ERROR: second",
                                                    "INI-ERROR: third"}));
    EXPECT_EQ(desk.maxOpen, 1);
}

}  // namespace
