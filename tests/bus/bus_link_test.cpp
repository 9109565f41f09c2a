// The plug-in's block read and block write against a member played on a real pseudo-terminal.

#include "kvx/bus/bus_link.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kvx/bus/frame.h"
#include "scripted_member.h"

namespace kvx::bus {
namespace {

using testing::answerFrame;
using testing::ScriptedMember;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class BusLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int error = 0;
        pty_ = platform::PseudoTerminal::create(error);
        ASSERT_NE(pty_, nullptr);
        link_.setPortName(pty_->slavePath());
        member_ = std::make_unique<ScriptedMember>(*pty_);
    }

    Bytes data(std::size_t n, std::uint8_t first = 1) {
        Bytes d(n);
        std::iota(d.begin(), d.end(), first);
        return d;
    }

    // The port lock must be free after every transaction: another thread can take it.
    void expectPortLockFree() {
        auto free = std::async(std::launch::async, [this] {
            bool got = link_.portLock().try_lock();
            if (got) link_.portLock().unlock();
            return got;
        });
        EXPECT_TRUE(free.get());
    }

    std::unique_ptr<platform::PseudoTerminal> pty_;
    std::unique_ptr<ScriptedMember> member_;
    BusLink link_;
};

TEST_F(BusLinkTest, CompleteAnswerDeliversTheDataBytes) {
    const Bytes block = data(16, 0x40);
    member_->answerNext(10, answerFrame(5, 0x20, block));
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 5, 0x20, 16, 0), 16 + 11);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), dest.begin()));
    EXPECT_EQ(member_->received(),
              (Bytes{0x00, 0x00, 0x00, 0x10, 0x05, 0x20, 0x00, 0x10, 0x45, 0x16}));
    expectPortLockFree();
}

// An answer counts only when its header names the request it answers and its data check
// holds (a late answer of another member, or one corrupted on the line, is no answer); the
// zero byte and the header check only when asked for; nothing beyond start and end when the
// check is off.
TEST_F(BusLinkTest, AnswerCheckRefusesAnswersToOtherRequests) {
    struct Case {
        const char* what;
        std::size_t byte;  // index in the frame changed, or 0 for none
        AnswerCheck check;
        bool taken;
    };
    const Case cases[] = {
        {"as asked", 0, AnswerCheck::AddressesAndData, true},
        {"other bus address", 4, AnswerCheck::AddressesAndData, false},
        {"other data address", 5, AnswerCheck::AddressesAndData, false},
        {"other byte count", 7, AnswerCheck::AddressesAndData, false},
        {"data check", 13, AnswerCheck::AddressesAndData, false},
        {"a data byte", 10, AnswerCheck::AddressesAndData, false},
        {"zero byte", 6, AnswerCheck::AddressesAndData, true},
        {"header check", 8, AnswerCheck::AddressesAndData, true},
        {"zero byte", 6, AnswerCheck::Full, false},
        {"header check", 8, AnswerCheck::Full, false},
        {"as asked", 0, AnswerCheck::Full, true},
        {"other bus address", 4, AnswerCheck::StartAndEnd, true},
        {"data check", 13, AnswerCheck::StartAndEnd, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", check level " +
                     std::to_string(static_cast<int>(c.check)));
        link_.setAnswerCheck(c.check);
        Bytes frame = answerFrame(1, 0x20, data(4));
        if (c.byte != 0) frame[c.byte] ^= 0x01;
        member_->answerNext(10, frame);
        std::array<std::uint8_t, 256> dest{};
        EXPECT_EQ(link_.BusReadBlock(dest.data(), 1, 0x20, 4, 0), c.taken ? 15 : 0);
        EXPECT_EQ(dest[3], c.taken ? 4 : 0);
        member_->finish();
    }
}

// What comes after an answer that was refused belongs to no request: it is dropped before
// the port is closed, so the next request finds a quiet line.
TEST_F(BusLinkTest, BytesAfterARefusedAnswerDoNotReachTheNextRead) {
    Bytes stray = answerFrame(9, 0x20, data(4));  // another member's answer
    const Bytes own = answerFrame(1, 0x20, data(4, 0x50));
    stray.insert(stray.end(), own.begin(), own.end());
    member_->answerNext(10, stray);
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 1, 0x20, 4, 0), 0);
    member_->finish();
    member_->answerNext(10, answerFrame(1, 0x20, data(4, 0x30)));
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 1, 0x20, 4, 0), 15);
    EXPECT_EQ(dest[0], 0x30);
}

TEST_F(BusLinkTest, SilentMemberGivesZeroAfterTheTotalTimeout) {
    member_->answerNext(10, {});
    std::array<std::uint8_t, 256> dest{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 7, 0, 10, 0), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 490ms);
    EXPECT_LT(waited, 2000ms);
    expectPortLockFree();
}

TEST_F(BusLinkTest, TwoPreambleBytesGiveACountOneShort) {
    const Bytes block = data(8);
    member_->answerNext(10, answerFrame(5, 0, block, 2));
    std::array<std::uint8_t, 256> dest{};
    // Received complete but one byte short: the caller counts it as a failed read.
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 5, 0, 8, 0), 8 + 10);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), dest.begin()));
}

TEST_F(BusLinkTest, WrongEndCharacterGivesZero) {
    member_->answerNext(10, answerFrame(5, 0, data(8), 3, 0x17));
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 5, 0, 8, 0), 0);
}

TEST_F(BusLinkTest, WrongStartCharacterGivesZero) {
    Bytes frame = answerFrame(5, 0, data(8));
    frame[3] = 0x10;
    member_->answerNext(10, frame);
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 5, 0, 8, 0), 0);
}

TEST_F(BusLinkTest, LargestBlockGivesA256ByteAnswer) {
    const Bytes block = data(245);
    member_->answerNext(10, answerFrame(2, 0, block));
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 2, 0, 245, 0), 256);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), dest.begin()));
}

TEST_F(BusLinkTest, MissingPortGivesMinusOneAndReleasesTheLock) {
    link_.setPortName("/dev/kvx-no-such-port");
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 1, 0, 4, 0), -1);
    expectPortLockFree();
    const Bytes value{0x12};
    EXPECT_EQ(link_.BusWriteBlock(value.data(), 1, 2, 1, 0), -1);
    expectPortLockFree();
}

TEST_F(BusLinkTest, PortHeldByAnotherProgramCannotBeOpened) {
    int error = 0;
    auto other = platform::SerialDevice::open(pty_->slavePath(), error);
    ASSERT_NE(other, nullptr);
    std::array<std::uint8_t, 256> dest{};
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 1, 0, 4, 0), -1);
    const Bytes value{0x12};
    EXPECT_EQ(link_.BusWriteBlock(value.data(), 1, 2, 1, 0), -1);
    other->close();
    member_->answerNext(10, answerFrame(1, 0, data(4)));
    EXPECT_EQ(link_.BusReadBlock(dest.data(), 1, 0, 4, 0), 15);
}

TEST_F(BusLinkTest, WriteSendsTheLongFrameAndWaitsForTheAcknowledgement) {
    member_->answerNext(13, Bytes(10, 0xE5));
    const Bytes value{0x12, 0x34};
    // The result is the number of acknowledgement bytes that came.
    EXPECT_EQ(link_.BusWriteBlock(value.data(), 5, 0x40, 2, 0), 10);
    EXPECT_EQ(member_->received(), (Bytes{0x00, 0x00, 0x00, 0x68, 0x05, 0x40, 0x00, 0x02, 0xAF,
                                          0x12, 0x34, 0x46, 0x16}));
    expectPortLockFree();
}

TEST_F(BusLinkTest, UnansweredWriteGivesZero) {
    member_->answerNext(12, {});
    const Bytes value{0x01};
    EXPECT_EQ(link_.BusWriteBlock(value.data(), 1, 2, 1, 0), 0);
    EXPECT_EQ(member_->received().size(), 12u);
}

TEST_F(BusLinkTest, OversizedWriteSendsNothing) {
    member_->answerNext(1, {}, 700ms);
    const Bytes value(255, 0x11);
    EXPECT_EQ(link_.BusWriteBlock(value.data(), 1, 0, 255, 0), 0);
    EXPECT_TRUE(member_->received().empty());
}

TEST_F(BusLinkTest, PortIsFreeBetweenTransactions) {
    member_->answerNext(10, answerFrame(5, 0, data(4)));
    std::array<std::uint8_t, 256> dest{};
    ASSERT_EQ(link_.BusReadBlock(dest.data(), 5, 0, 4, 0), 15);
    int error = 0;
    auto other = platform::SerialDevice::open(pty_->slavePath(), error);
    EXPECT_NE(other, nullptr) << "the link kept the port: error " << error;
}

TEST_F(BusLinkTest, ConcurrentReadAndWriteNeverOverlapOnTheBus) {
    // While one thread holds the port lock for a whole transaction, a second one waits.
    std::unique_lock hold(link_.portLock());
    auto write = std::async(std::launch::async, [this] {
        const Bytes value{0x01};
        return link_.BusWriteBlock(value.data(), 1, 2, 1, 0);
    });
    EXPECT_EQ(write.wait_for(100ms), std::future_status::timeout);
    hold.unlock();
    member_->answerNext(12, Bytes(1, 0xE5));
    EXPECT_EQ(write.get(), 1);
}

}  // namespace
}  // namespace kvx::bus

namespace kvx::bus {
namespace {

using namespace std::chrono_literals;

// The port lock is handed on in the order asked for, so a waiting poll is not overtaken by
// writes asked for after it; a waiter told to give up leaves without the lock, also when the
// lock happens to be free; the holder may take it again.
TEST(PortLockTest, HandedOnInTurnAndWaitersMayGiveUp) {
    PortLock lock;
    lock.lock();
    lock.lock();  // recursive
    std::mutex orderMutex;
    std::vector<int> order;
    auto waiter = [&](int id) {
        return std::async(std::launch::async, [&, id] {
            lock.lock();
            {
                std::lock_guard guard(orderMutex);
                order.push_back(id);
            }
            lock.unlock();
        });
    };
    std::atomic<bool> giveUp{false};
    auto quitter = std::async(std::launch::async, [&] { return lock.lockUnless(&giveUp); });
    std::this_thread::sleep_for(30ms);
    auto first = waiter(1);
    std::this_thread::sleep_for(30ms);
    auto second = waiter(2);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(lock.try_lock());  // the holder
    lock.unlock();
    EXPECT_FALSE(std::async(std::launch::async, [&] { return lock.try_lock(); }).get());
    giveUp = true;
    lock.wakeWaiters();
    EXPECT_FALSE(quitter.get());
    lock.unlock();
    lock.unlock();
    first.get();
    second.get();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(lock.lockUnless(&giveUp));  // free, but told to give up
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

}  // namespace
}  // namespace kvx::bus
