// The polling cycle step by step with scripted waits and block reads (ordering, pacing and the
// error counter rules), and the polling thread itself on the real clock.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notifier.h"
#include "polling_cycle.h"
#include "runtime.h"

using namespace kvx::driver;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

// Records every wait and sleep as text ("W10" wait on the stop event, "S50" sleep).
class ScriptedWaits : public PollWaits {
  public:
    bool waitForStop(kvx::platform::Millis timeout) override {
        log.push_back("W" + std::to_string(timeout.count()));
        return stopAt == log.size();
    }
    void sleep(kvx::platform::Millis duration) override {
        log.push_back("S" + std::to_string(duration.count()));
    }
    std::vector<std::string> log;
    std::size_t stopAt = 0;  // the wait with this number (1-based) sees the stop event
};

// Answers block reads from a member "memory": address -> bytes by device address. A result
// override per (bus address, device address) simulates failures.
class ScriptedReads : public PollReads {
  public:
    std::int32_t readBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                           int byteCount) override {
        log.push_back(busAddress * 1000 + dataAddress);
        if (auto it = results.find({busAddress, dataAddress}); it != results.end())
            return it->second;
        auto& bytes = memory[busAddress];
        bytes.resize(512);
        std::copy_n(bytes.begin() + dataAddress, byteCount, destination);
        return byteCount + 11;
    }
    std::map<int, std::vector<std::uint8_t>> memory;
    std::map<std::pair<int, int>, std::int32_t> results;
    std::vector<int> log;
};

class RecordingNotifier : public Notifier {
  public:
    void notify(std::string_view caption, std::string_view text) override {
        std::lock_guard lock(mutex);
        messages.emplace_back(std::string(caption) + "|" + std::string(text));
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

ScanIdEntry Id(int offset, int length, std::string text, std::string name) {
    return ScanIdEntry{offset, length, std::move(text), std::move(name)};
}

class Polling : public ::testing::Test {
  protected:
    Polling() {
        state->cyclePauseMs = 1000;
        for (auto& member : state->members) member.errorCounter = kBadErrorCount;
    }

    // Configures `address` with fetch blocks (device address, length) and one scanID entry
    // that matches "ID" at joined offset 0.
    void configure(int address, std::vector<std::pair<int, int>> blocks) {
        MemberRecord& member = state->members[static_cast<std::size_t>(address)];
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            member.fetchAddress[b] = static_cast<std::uint8_t>(blocks[b].first);
            member.fetchLength[b] = static_cast<std::uint8_t>(blocks[b].second);
        }
        member.idCount = 1;
        member.ids[0] = Id(0, 2, "ID", "Device");
        auto& bytes = reads.memory[address];
        bytes.assign(512, 0);
        for (int i = 0; i < 512; ++i)
            bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
        bytes[static_cast<std::size_t>(blocks[0].first)] = 'I';
        bytes[static_cast<std::size_t>(blocks[0].first) + 1] = 'D';
    }

    // Polls `address` next (through the priority member): one step, or two when the step
    // before was a priority poll and the walk takes its step first.
    void pollNow(int address) {
        state->priority.request(static_cast<std::uint8_t>(address));
        ASSERT_TRUE(cycle.step());
        if (cycle.lastAddress() != address) {
            ASSERT_TRUE(cycle.step());
        }
        ASSERT_EQ(cycle.lastAddress(), address);
    }

    int errors(int address) {
        return state->members[static_cast<std::size_t>(address)].errorCounter;
    }

    std::unique_ptr<DriverState> state = std::make_unique<DriverState>();
    ScriptedWaits waits;
    ScriptedReads reads;
    PollCycle cycle{*state, waits, reads};
};

}  // namespace

TEST_F(Polling, FirstPassStartsAtOneAndThePauseLiesBetween31And0) {
    state->members[4].errorCounter = 3;  // unconfigured: forced back to 10
    std::vector<int> order;
    for (int i = 0; i < 33; ++i) {
        ASSERT_TRUE(cycle.step());
        order.push_back(cycle.lastAddress());
    }
    std::vector<int> expected;
    for (int a = 1; a <= 31; ++a) expected.push_back(a);
    expected.push_back(0);
    expected.push_back(1);
    EXPECT_EQ(order, expected);
    // Unconfigured addresses cost the 10 ms wait only; the cycle pause after address 31.
    std::vector<std::string> expectedWaits(31, "W10");
    expectedWaits.push_back("W10");
    expectedWaits.push_back("W1000");
    expectedWaits.push_back("W10");
    EXPECT_EQ(waits.log, expectedWaits);
    EXPECT_TRUE(reads.log.empty());
    EXPECT_EQ(errors(4), kBadErrorCount);
}

TEST_F(Polling, NoCyclePauseWhenWaitIsZero) {
    state->cyclePauseMs = 0;
    for (int i = 0; i < 33; ++i) ASSERT_TRUE(cycle.step());
    EXPECT_EQ(std::count(waits.log.begin(), waits.log.end(), "W10"), 33);
    EXPECT_EQ(waits.log.size(), 33u);
}

TEST_F(Polling, StopDuringTheCyclePauseEndsAtOnce) {
    waits.stopAt = 33;  // the wait of the cycle pause sees the stop event
    for (int i = 0; i < 31; ++i) ASSERT_TRUE(cycle.step());
    EXPECT_FALSE(cycle.step());
    EXPECT_EQ(waits.log.back(), "W1000");
}

TEST_F(Polling, MemberPollIsPacedAndJoinsItsBlocksEndToEnd) {
    configure(3, {{10, 4}, {0, 0}, {100, 3}});  // fetch1 and fetch3 only
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(cycle.step());
    EXPECT_THAT(waits.log, ElementsAre("W10", "W10", "W10", "S50", "S20", "S20"));
    EXPECT_THAT(reads.log, ElementsAre(3010, 3100));
    EXPECT_EQ(errors(3), 0);
    const ImageBlock& block = state->image[3];
    EXPECT_THAT(std::vector<std::uint8_t>(block.begin(), block.begin() + 7),
                ElementsAre('I', 'D', 12, 13, 100, 101, 102));
    EXPECT_EQ(state->members[3].name, "Device");
}

TEST_F(Polling, MemberWithoutFetch1IsNeverRead) {
    configure(3, {{0, 0}, {10, 4}});
    state->members[3].errorCounter = 0;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(cycle.step());
    EXPECT_TRUE(reads.log.empty());
    EXPECT_EQ(errors(3), kBadErrorCount);
}

TEST_F(Polling, PriorityMemberIsPolledNextAndTheWalkKeepsItsPlace) {
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(cycle.step());
    ASSERT_EQ(cycle.lastAddress(), 20);
    state->priority.request(7);
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(cycle.step());
        order.push_back(cycle.lastAddress());
    }
    EXPECT_THAT(order, ElementsAre(7, 21, 22));
    EXPECT_FALSE(state->priority.pending.load());
}

// A host that writes to one member before every step: that member is polled every other
// step, and the walk still reaches every address, so no other member goes unpolled.
TEST_F(Polling, WritesBeforeEveryStepNeverStopTheWalk) {
    configure(7, {{0, 8}});
    configure(30, {{0, 8}});
    std::vector<int> order;
    for (int i = 0; i < 64; ++i) {
        state->priority.request(7);
        ASSERT_TRUE(cycle.step());
        order.push_back(cycle.lastAddress());
    }
    for (int address = 0; address < kMemberCount; ++address) {
        EXPECT_NE(std::find(order.begin(), order.end(), address), order.end()) << address;
    }
    EXPECT_EQ(std::count(order.begin(), order.end(), 7), 33);  // 32 priority polls, 1 walk
    EXPECT_EQ(errors(30), 0);
}

// A written member whose polls are slow (long answers, or a member about to fall silent)
// is polled first only while the written members' polls of the pass have taken no more bus
// time than the walk's: writes may at most double a pass.
TEST_F(Polling, WrittenMembersTakeAtMostHalfTheBusTime) {
    struct SlowReads : ScriptedReads {
        std::int32_t readBlock(std::uint8_t* destination, int busAddress, int dataAddress,
                               int byteCount) override {
            clock.now_ += busAddress == 7 ? 300ms : 10ms;
            return ScriptedReads::readBlock(destination, busAddress, dataAddress, byteCount);
        }
        struct Clock : kvx::platform::TimeSource {
            kvx::platform::MonoTime now() const override { return now_; }
            void sleepFor(kvx::platform::MonoClock::duration) override {}
            kvx::platform::MonoTime now_{std::chrono::hours(1)};
        } clock;
    } slow;
    state->time = &slow.clock;
    PollCycle timed{*state, waits, slow};
    for (int address = 0; address < kMemberCount; ++address) {
        configure(address, {{0, 8}});
        slow.memory[address] = reads.memory[address];
    }
    int priorityPolls = 0;
    int walkPolls = 0;
    int pass = 0;
    while (pass < 3) {
        state->priority.request(7);
        ASSERT_TRUE(timed.step());
        const bool priority = timed.lastAddress() == 7 && !state->priority.pending.load();
        priority ? ++priorityPolls : ++walkPolls;
        if (timed.lastAddress() == 31) ++pass;
    }
    // The walk's bus time: its polls at 10 ms, address 7's own at 300 ms once a pass. The
    // written member's polls may run ahead of it by one poll and one member pause a pass (a
    // poll before every walk step would take 96 x 300 ms).
    EXPECT_GE(walkPolls, 3 * 31);
    const int walkMs = (walkPolls - 3) * 10 + 3 * 300;
    EXPECT_LE(priorityPolls * 300, walkMs + 3 * (50 + 300));
    EXPECT_GE(priorityPolls, 3);
}

TEST_F(Polling, ErrorCounterWalkAfterAGoodPoll) {
    configure(2, {{0, 8}});
    pollNow(2);
    ASSERT_EQ(errors(2), 0);
    const ImageBlock good = state->image[2];

    reads.results[{2, 0}] = 0;  // no valid answer from now on
    for (int failure = 1; failure <= 10; ++failure) {
        pollNow(2);
        EXPECT_EQ(errors(2), failure);
        EXPECT_EQ(state->image[2], good) << "image cleared early at failure " << failure;
    }
    pollNow(2);  // the eleventh failed poll clears the image
    EXPECT_EQ(errors(2), kBadErrorCount);
    EXPECT_EQ(state->image[2], ImageBlock{});

    reads.results.clear();
    pollNow(2);
    EXPECT_EQ(errors(2), 0);
    EXPECT_EQ(state->image[2], good);
}

TEST_F(Polling, IncompleteAnswersCountAsFailures) {
    configure(2, {{0, 8}});
    pollNow(2);
    reads.results[{2, 0}] = 8 + 10;  // one byte short
    pollNow(2);
    EXPECT_EQ(errors(2), 1);
    reads.results[{2, 0}] = 8 + 12;  // one byte too many
    pollNow(2);
    EXPECT_EQ(errors(2), 2);
}

// A poll that fails in a later block is a failed poll as much as one that fails in the
// first: the values of the blocks that still answer are not refreshed either, so they must
// not keep good quality for ever.
TEST_F(Polling, LaterBlockFailuresCountAsFailedPolls) {
    configure(2, {{0, 8}, {50, 4}});
    pollNow(2);
    const ImageBlock good = state->image[2];
    reads.memory[2][0] = 'I';
    reads.memory[2][1] = 'D';
    reads.memory[2][2] = 0x77;  // new data that must not arrive
    reads.results[{2, 50}] = 0;
    for (int failure = 1; failure <= 10; ++failure) {
        pollNow(2);
        EXPECT_EQ(errors(2), failure);
    }
    EXPECT_EQ(state->image[2], good);
    EXPECT_EQ(reads.log.size(), 2u * 11);  // the remaining blocks are still read
    reads.results.clear();
    pollNow(2);
    EXPECT_EQ(errors(2), 0);
    EXPECT_EQ(state->image[2][2], 0x77);
}

TEST_F(Polling, RejectedIdentificationRaisesTheCounterButKeepsTheImage) {
    configure(2, {{0, 8}});
    pollNow(2);
    const ImageBlock good = state->image[2];
    reads.memory[2][1] = 'X';
    for (int i = 0; i < 12; ++i) pollNow(2);
    EXPECT_EQ(errors(2), kBadErrorCount);
    EXPECT_EQ(state->image[2], good);
}

TEST_F(Polling, PortFailureGivesOneNoticePerPass) {
    RecordingNotifier notifier;
    SetNotifier(&notifier);
    configure(2, {{0, 8}});
    configure(9, {{0, 8}});
    reads.results[{2, 0}] = -1;
    reads.results[{9, 0}] = -1;
    for (int i = 0; i < 31; ++i) ASSERT_TRUE(cycle.step());
    EXPECT_TRUE(notifier.messages.empty());
    ASSERT_TRUE(cycle.step());  // address 0, after the pause
    EXPECT_EQ(notifier.messages.size(), 1u);
    reads.results.clear();
    for (int i = 0; i < 32; ++i) ASSERT_TRUE(cycle.step());
    SetNotifier(nullptr);
    EXPECT_THAT(notifier.messages,
                ElementsAre(std::string(kPortFailureCaption) + "|" + kPortFailureText));
    EXPECT_EQ(errors(2), 0);
}

// ---- Identification -----------------------------------------------------------------------

namespace {

struct IdCase {
    MemberRecord member;
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(64, 0);
    void text(std::size_t offset, std::string_view t) {
        std::copy(t.begin(), t.end(), data.begin() + offset);
    }
    void ids(std::vector<ScanIdEntry> entries) {
        member.idCount = static_cast<std::int32_t>(entries.size());
        std::copy(entries.begin(), entries.end(), member.ids.begin());
    }
    std::optional<std::string> check() {
        std::string name = "unchanged";
        if (!IdentifyMember(member, data.data(), data.size(), name)) return std::nullopt;
        return name;
    }
};

}  // namespace

TEST(Identification, NeighbouringEqualOffsetsAreAlternatives) {
    IdCase c;
    c.ids({Id(0, 4, "AAAA", "TypeA"), Id(0, 4, "BBBB", "TypeB"), Id(10, 3, "XYZ", "Tail")});
    c.text(10, "XYZ");
    c.text(0, "BBBB");
    EXPECT_EQ(c.check(), "TypeB");
    c.text(0, "AAAA");
    EXPECT_EQ(c.check(), "TypeA");
    c.text(0, "CCCC");
    EXPECT_EQ(c.check(), std::nullopt);  // every alternative failed
    c.text(0, "AAAA");
    c.text(10, "XYQ");
    EXPECT_EQ(c.check(), std::nullopt);  // an entry outside the group must match
}

TEST(Identification, WithoutNeighboursEveryEntryMustMatch) {
    IdCase c;
    c.ids({Id(0, 4, "AAAA", "First"), Id(10, 3, "XYZ", "Middle"), Id(0, 4, "BBBB", "Last")});
    c.text(0, "AAAA");
    c.text(10, "XYZ");
    EXPECT_EQ(c.check(), std::nullopt);  // the third entry (BBBB at 0) cannot match too
    c.ids({Id(0, 4, "AAAA", "First"), Id(10, 3, "XYZ", "Middle"), Id(0, 4, "AAAA", "Last")});
    EXPECT_EQ(c.check(), "Last");  // no group: the name of the last entry
}

TEST(Identification, GroupMembersThatAreNotNeighboursCountToo) {
    // Offsets 0, 0, 10, 0: the group at 0 has three alternatives.
    IdCase c;
    c.ids({Id(0, 2, "AA", "A"), Id(0, 2, "BB", "B"), Id(10, 2, "TT", "T"), Id(0, 2, "CC", "C")});
    c.text(10, "TT");
    c.text(0, "CC");
    EXPECT_EQ(c.check(), "C");
    c.text(0, "DD");
    EXPECT_EQ(c.check(), std::nullopt);
}

TEST(Identification, BlanksAreRemovedTextsEndAtZeroAndOemIsConverted) {
    IdCase c;
    c.ids({Id(0, 10,
              "KX\xC4"
              "200",
              "Pump")});         // ANSI C4 is A-umlaut
    c.text(0, "K X \x8E 2 00");  // OEM 8E is A-umlaut
    EXPECT_EQ(c.check(), "Pump");
    c.data[4] = 0;  // the text ends before the umlaut
    EXPECT_EQ(c.check(), std::nullopt);
}

TEST(Identification, NoEntriesOrEntriesOutsideTheDataAreRejected) {
    IdCase c;
    EXPECT_EQ(c.check(), std::nullopt);
    c.ids({Id(60, 10, "", "Beyond")});
    EXPECT_EQ(c.check(), std::nullopt);
    c.ids({Id(-1, 2, "", "Before")});
    EXPECT_EQ(c.check(), std::nullopt);
}

// ---- The thread on the real clock ---------------------------------------------------------

TEST(PollingThreadLifecycle, StopWakesTheCyclePauseAtOnceAndNoSecondThreadStarts) {
    auto state = std::make_unique<DriverState>();
    state->cyclePauseMs = 60'000;
    state->bus.setPortName("/nonexistent/tty");
    PollingThread thread(*state);
    ASSERT_TRUE(thread.start());
    EXPECT_FALSE(thread.start());
    EXPECT_TRUE(thread.running());
    // 31 addresses of 10 ms: well inside the minute-long pause after this.
    std::this_thread::sleep_for(1500ms);
    const auto before = std::chrono::steady_clock::now();
    thread.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_FALSE(thread.running());
    EXPECT_LT(took, 10s);  // the pause itself is a minute long
    // Startable again after a stop.
    EXPECT_TRUE(thread.start());
    thread.stop();
    EXPECT_FALSE(thread.running());
}

// ---- Pacing of the waits in use -----------------------------------------------------------

namespace {

// A clock whose sleeps overrun by a set amount, as on a busy machine.
class OverrunningClock : public kvx::platform::TimeSource {
  public:
    kvx::platform::MonoTime now() const override { return now_; }
    void sleepFor(kvx::platform::MonoClock::duration d) override {
        asked.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
        now_ += d + overrun;
    }
    kvx::platform::MonoTime now_{std::chrono::hours(1)};
    kvx::platform::MonoClock::duration overrun{3ms};
    std::vector<long> asked;
};

}  // namespace

TEST(PacedWaits, OverrunsAreTakenOffTheNextPauseOfTheSameStretch) {
    auto state = std::make_unique<DriverState>();
    OverrunningClock clock;
    state->time = &clock;
    PacedWaits waits(*state);
    waits.sleep(50ms);  // takes 53
    waits.sleep(20ms);  // asks 17, takes 20: the stretch ends at its nominal 70
    waits.exchangeDone();
    waits.sleep(20ms);  // a new stretch: the full pause again
    waits.sleep(10ms);
    EXPECT_THAT(clock.asked, ElementsAre(50, 17, 20, 7));

    // An overrun beyond what is made up starts the stretch afresh.
    clock.asked.clear();
    clock.overrun = 40ms;
    waits.exchangeDone();
    waits.sleep(10ms);
    waits.sleep(10ms);
    EXPECT_THAT(clock.asked, ElementsAre(10, 10));

    // A stop event already set ends the wait at once, however long it is.
    state->stopEvent.set();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(waits.waitForStop(std::chrono::milliseconds(60'000)));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
}
