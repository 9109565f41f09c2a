// The polling thread against simulated members on a real pseudo-terminal: the process image,
// the member name, the error counter with real bus failures, the priority member and the
// write unlock.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fenlodrv/oleauto.h"
#include "kvx/sim/simulator.h"
#include "runtime.h"

using namespace kvx::driver;
using namespace std::chrono_literals;
using kvx::config::DtypeCode;
using kvx::sim::FrameKind;
using ::testing::ElementsAre;

namespace {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

class PollingOnTheBus : public ::testing::Test {
  protected:
    PollingOnTheBus() : sim(kvx::sim::SimulatorOptions{false, 7}) {
        sim.start();
        state->bus.setPortName(sim.devicePath());
        state->cyclePauseMs = 0;
        for (auto& member : state->members) member.errorCounter = kBadErrorCount;
    }
    ~PollingOnTheBus() override { thread.stop(); }

    // A member whose memory starts with "KX-100" (its identification) followed by counting
    // bytes; the driver reads `fetch1` bytes from device address 0.
    void addMember(int address, std::uint8_t fetch1 = 32) {
        std::vector<std::uint8_t> memory(256);
        for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
        const std::string id = "KX-100";
        std::copy(id.begin(), id.end(), memory.begin());
        sim.addMember(address, memory);
        MemberRecord& member = state->members[static_cast<std::size_t>(address)];
        member.fetchAddress[0] = 0;
        member.fetchLength[0] = fetch1;
        member.idCount = 1;
        member.ids[0] = ScanIdEntry{0, 6, "KX-100", "Pump KX-100"};
        member.name = "Ini-Name";
    }

    int errors(int address) {
        return state->members[static_cast<std::size_t>(address)].errorCounter.load();
    }

    std::u16string deviceId(int address) {
        TagDescriptor tag;
        tag.member = static_cast<std::uint8_t>(address);
        tag.dtype = DtypeCode::DeviceId;
        VARIANT value;
        VariantInit(&value);
        DecodeTagValue(*state, tag, value);
        std::u16string text(reinterpret_cast<const char16_t*>(value.value.bstrVal),
                            SysStringLen(value.value.bstrVal));
        VariantClear(&value);
        return text;
    }

    std::vector<int> readsAfter(std::size_t first) {
        std::vector<int> order;
        const auto frames = sim.frames();
        for (std::size_t i = first; i < frames.size(); ++i) {
            if (frames[i].kind == FrameKind::Read) order.push_back(frames[i].address);
        }
        return order;
    }

    kvx::sim::Simulator sim;
    std::unique_ptr<DriverState> state = std::make_unique<DriverState>();
    PollingThread thread{*state};
};

}  // namespace

TEST_F(PollingOnTheBus, FirstAcceptedPollFillsTheImageAndNamesTheMember) {
    addMember(4);
    EXPECT_EQ(deviceId(4), u"Ini-Name");
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(WaitUntil([&] { return errors(4) == 0; }, 5s));
    EXPECT_EQ(deviceId(4), u"Pump KX-100");
    std::lock_guard lock(state->imageLock);
    EXPECT_EQ(state->image[4][0], 'K');
    EXPECT_EQ(state->image[4][31], 31);
    EXPECT_EQ(state->image[4][32], 0);  // beyond the fetch data
}

TEST_F(PollingOnTheBus, WrongIdentityNeverReachesTheImage) {
    addMember(4);
    state->members[4].ids[0].idStr = "KX-200";
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(sim.waitForFrames(4, 3, 5s));
    EXPECT_EQ(errors(4), kBadErrorCount);
    EXPECT_EQ(deviceId(4), u"Ini-Name");
    std::lock_guard lock(state->imageLock);
    EXPECT_EQ(state->image[4], ImageBlock{});
}

TEST_F(PollingOnTheBus, ErrorCounterClimbsToTenBeforeTheImageIsCleared) {
    addMember(6);
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(WaitUntil([&] { return errors(6) == 0; }, 5s));

    kvx::sim::Faults faults;
    faults.shortAnswer = {1.0, 3};  // every answer three bytes short
    sim.setFaults(6, faults);
    std::vector<int> seen{0};
    bool imageKeptUntilTen = true;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const int now = errors(6);
            if (now != seen.back()) seen.push_back(now);
            if (now == kBadErrorCount) return true;
            std::lock_guard lock(state->imageLock);
            imageKeptUntilTen = imageKeptUntilTen && state->image[6][0] == 'K';
            return false;
        },
        20s));
    EXPECT_THAT(seen, ElementsAre(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10));
    EXPECT_TRUE(imageKeptUntilTen);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard lock(state->imageLock);
            return state->image[6] == ImageBlock{};
        },
        5s));
    EXPECT_EQ(errors(6), kBadErrorCount);

    sim.clearFaults(6);
    ASSERT_TRUE(WaitUntil([&] { return errors(6) == 0; }, 5s));
    std::lock_guard lock(state->imageLock);
    EXPECT_EQ(state->image[6][0], 'K');
}

TEST_F(PollingOnTheBus, LaterBlockFailuresAreFailedPolls) {
    addMember(6, 8);
    MemberRecord& member = state->members[6];
    member.fetchAddress[1] = 100;
    member.fetchLength[1] = 4;
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(WaitUntil([&] { return errors(6) == 0; }, 5s));
    thread.stop();
    {
        std::lock_guard lock(state->imageLock);
        EXPECT_THAT(
            std::vector<std::uint8_t>(state->image[6].begin() + 8, state->image[6].begin() + 12),
            ElementsAre(100, 101, 102, 103));
    }

    // A second block longer than any answer can carry fails on every poll. The member starts
    // from an accepted poll, as it stood before the stop.
    member.fetchLength[1] = 250;
    member.errorCounter = 0;
    sim.writeMemory(6, 7, {0x77});
    const std::size_t before = sim.frameCount(6);
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(sim.waitForFrames(6, before + 6, 10s));
    // The values of the first block are not refreshed either: the counter rises towards bad
    // quality as for any failed poll.
    ASSERT_TRUE(WaitUntil([&] { return errors(6) >= 2; }, 10s));
    std::lock_guard lock(state->imageLock);
    EXPECT_EQ(state->image[6][7], 7);  // not refreshed
}

// Host writes may keep the port for long (each waits up to 500 ms on a silent member). A stop
// does not queue behind them: the thread gives up its wait for the port at once. Once nothing
// refreshes the image, no member's values claim good quality; the values themselves stay.
TEST_F(PollingOnTheBus, StopEndsAtOnceWhileTheBusIsHeldAndLeavesNoGoodQuality) {
    addMember(4);
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(WaitUntil([&] { return errors(4) == 0; }, 5s));
    std::unique_lock hold(state->bus.portLock());
    // A pass over the 31 other addresses takes about 350 ms: the thread then comes back to
    // member 4 and waits for the port.
    std::this_thread::sleep_for(600ms);
    auto stopped = std::async(std::launch::async, [&] { thread.stop(); });
    const bool prompt = stopped.wait_for(2s) == std::future_status::ready;
    hold.unlock();
    stopped.wait();
    EXPECT_TRUE(prompt) << "the stop waited for the port";
    EXPECT_FALSE(thread.running());
    for (int address = 0; address < kMemberCount; ++address) {
        EXPECT_EQ(errors(address), kBadErrorCount) << address;
    }
    std::lock_guard lock(state->imageLock);
    EXPECT_EQ(state->image[4][10], 10);
}

TEST_F(PollingOnTheBus, WrittenMemberIsPolledNext) {
    for (int address : {2, 7, 8, 9, 31}) addMember(address);
    state->cyclePauseMs = 1500;
    ASSERT_TRUE(thread.start());
    // Wait for the end of a pass: the read of member 31, then into the cycle pause.
    const std::size_t reads31 = sim.frameCount(31);
    ASSERT_TRUE(sim.waitForFrames(31, reads31 + 1, 10s));
    std::this_thread::sleep_for(100ms);

    TagDescriptor tag;
    tag.member = 7;
    tag.dtype = DtypeCode::Int;
    tag.length = 2;
    tag.writeoffset = 200;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I2;
    value.value.iVal = 0x0102;
    const std::size_t mark = sim.frameCount();
    EncodeAndWriteTagValue(*state, tag, value);
    state->priority.request(7);  // what the write batch does after each data-tag write

    ASSERT_TRUE(sim.waitForFrames(mark + 5, 10s));
    const auto frames = sim.frames();
    EXPECT_EQ(frames[mark].kind, FrameKind::Write);
    ASSERT_TRUE(sim.waitForFrames(31, reads31 + 2, 10s));
    // Member 7 first, then the pass that the pause began, from its start.
    const auto order = readsAfter(mark);
    ASSERT_GE(order.size(), 6u);
    EXPECT_THAT(std::vector<int>(order.begin(), order.begin() + 6), ElementsAre(7, 2, 7, 8, 9, 31));
    EXPECT_THAT(sim.readMemory(7, 200, 2), ElementsAre(0x01, 0x02));
}

TEST_F(PollingOnTheBus, UnlockIsSentUntilThePolledStateShowsTheCode) {
    addMember(3, 64);
    state->members[3].password.readoffset = 40;
    state->members[3].password.length = 2;
    state->members[3].password.flag = 1;
    TagDescriptor tag;
    tag.member = 3;
    tag.dtype = DtypeCode::Uint;
    tag.length = 2;
    tag.writeoffset = 60;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI2;
    value.value.uiVal = 513;

    sim.clearFrames();
    EncodeAndWriteTagValue(*state, tag, value);
    auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].dataAddress, kWriteUnlockAddress);
    EXPECT_EQ(frames[1].dataAddress, 60);

    // The member now shows the code where its password state lies; once polled, writes go
    // without the unlock. (The simulated member keeps the unlock bytes as plain memory at
    // data address 2, inside its identification text: put that back.)
    EXPECT_THAT(sim.readMemory(3, 2, 2), ElementsAre(kWriteUnlockCode[0], kWriteUnlockCode[1]));
    sim.writeText(3, 0, "KX-100");
    sim.writeMemory(3, 40, {kWriteUnlockCode[0], kWriteUnlockCode[1]});
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard lock(state->imageLock);
            return state->image[3][40] == kWriteUnlockCode[0];
        },
        5s));
    thread.stop();
    sim.clearFrames();
    EncodeAndWriteTagValue(*state, tag, value);
    frames = sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].dataAddress, 60);
    EXPECT_THAT(frames[0].data, ElementsAre(0x02, 0x01));
}

TEST_F(PollingOnTheBus, AnOverlongOrLateAnswerDoesNotReachTheNextMember) {
    // The polling thread reads to its time-outs and pauses after every block: the faulty
    // member 9 is judged on its own answers, the healthy member 10 right after it never
    // fails.
    sim.setWireTiming(true);
    addMember(9);
    addMember(10);
    sim.writeMemory(10, 20, {0xA5});
    kvx::sim::Faults overlong;
    overlong.longAnswer = {1.0, 3};
    kvx::sim::Faults late;
    late.delayRate = 1.0;
    late.delay = 60ms;
    for (const auto& [faults, member9Accepted] : {std::pair{overlong, false}, {late, true}}) {
        sim.setFaults(9, faults);
        // A round in which a busy machine held the simulator up inside an answer put a gap
        // on the line that no member makes: it is run again.
        bool judged = false;
        for (int round = 0; round < 10 && !judged; ++round) {
            ASSERT_TRUE(thread.start());
            ASSERT_TRUE(WaitUntil([&] { return errors(10) == 0; }, 5s));
            const std::size_t slips = sim.pacingSlips();
            const std::size_t first = sim.frameCount(10);
            int worst = 0;
            ASSERT_TRUE(WaitUntil(
                [&] {
                    worst = std::max(worst, errors(10));
                    return sim.frameCount(10) >= first + 8;
                },
                20s));
            // Taken before the stop, which leaves every counter at 10.
            const int member9Errors = errors(9);
            thread.stop();
            {
                std::lock_guard lock(state->imageLock);
                EXPECT_EQ(state->image[10][20], 0xA5);
            }
            if (sim.pacingSlips() != slips) continue;
            judged = true;
            EXPECT_EQ(worst, 0);
            EXPECT_EQ(member9Errors == 0, member9Accepted) << member9Errors;
        }
        if (!judged) GTEST_SKIP() << "the simulator could not keep the line's pace in 10 rounds";
    }
}

// A member that answers far too late, beside members of the same type: its answer arrives
// while the next member is being asked, and is refused there by its header. No neighbour
// ever shows its values with good quality, and a write to a neighbour never takes its
// divisor.
TEST_F(PollingOnTheBus, ALateAnswerNeverPassesForTheNextMembers) {
    sim.setWireTiming(true);
    for (int address : {5, 6, 7}) {
        addMember(address);
        // A mark of whose data it is, and a divisor byte of the member's own.
        sim.writeMemory(address, 20, {static_cast<std::uint8_t>(address)});
        sim.writeMemory(address, 21, {static_cast<std::uint8_t>(address == 6 ? 20 : 10)});
    }
    kvx::sim::Faults late;
    late.delayRate = 0.5;  // on time now and then, so that member 7 also has data of its own
    late.delay = 800ms;    // lands inside the read of member 7, which follows at once
    sim.setFaults(6, late);
    ASSERT_TRUE(thread.start());
    const std::size_t first = sim.frameCount(7);
    int foreign = 0;
    int goodSamples = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (int address : {5, 7}) {
                if (errors(address) >= kBadErrorCount) continue;
                std::lock_guard lock(state->imageLock);
                const std::uint8_t mark = state->image[static_cast<std::size_t>(address)][20];
                if (mark != address) ++foreign;
                ++goodSamples;
            }
            return sim.frameCount(7) >= first + 8;
        },
        40s));
    std::size_t lateAnswers = 0;
    for (const auto& frame : sim.frames()) {
        if (frame.address == 6 && (frame.faults & kvx::sim::kFaultDelay) != 0) ++lateAnswers;
    }

    TagDescriptor tag;
    tag.member = 7;
    tag.name = "ADR07.Temp";
    tag.dtype = DtypeCode::Float;
    tag.length = 2;
    tag.divoffset = 21;
    tag.writeoffset = 100;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R4;
    value.value.fltVal = 2.5f;
    const std::uint16_t outcome = EncodeAndWriteTagValue(*state, tag, value);
    thread.stop();
    EXPECT_GT(lateAnswers, 0u);
    EXPECT_GT(goodSamples, 0);
    EXPECT_EQ(foreign, 0);
    // Member 7's divisor (10), or nothing while its data is not current: never member 6's 20.
    if (outcome == SOXPS_WRITE_ACKNOWLEDGED) {
        EXPECT_THAT(sim.readMemory(7, 100, 2), ElementsAre(0x00, 25));
    } else {
        EXPECT_EQ(outcome, SOXPS_WRITE_NO_COMMUNICATION);
        EXPECT_THAT(sim.readMemory(7, 100, 2), ElementsAre(100, 101));
    }
}

// An answer with a data byte inverted on the line (its data check shows it) is a failed
// poll, never a value with good quality.
TEST_F(PollingOnTheBus, ACorruptedAnswerIsAFailedPoll) {
    addMember(4);
    sim.writeMemory(4, 10, {0x40});
    kvx::sim::Faults garbled;
    garbled.garbled = {1.0, 1};
    sim.setFaults(4, garbled);
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(sim.waitForFrames(4, 4, 10s));
    EXPECT_EQ(errors(4), kBadErrorCount);
    {
        std::lock_guard lock(state->imageLock);
        EXPECT_EQ(state->image[4], ImageBlock{});
    }
    sim.clearFaults(4);
    ASSERT_TRUE(WaitUntil([&] { return errors(4) == 0; }, 10s));
    std::lock_guard lock(state->imageLock);
    EXPECT_EQ(state->image[4][10], 0x40);
}

// A write the member does not acknowledge is told as such; later writes to it are not sent
// (each would hold the bus for a whole time-out) until one of its polls is accepted again.
TEST_F(PollingOnTheBus, WritesToASilentMemberWaitForItsNextAcceptedPoll) {
    addMember(3);
    kvx::sim::Faults silent;
    silent.silence = 1.0;
    sim.setFaults(3, silent);
    TagDescriptor tag;
    tag.member = 3;
    tag.name = "ADR03.Setpoint";
    tag.dtype = DtypeCode::Int;
    tag.length = 2;
    tag.writeoffset = 40;
    auto write = [&](std::int16_t number) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_I2;
        value.value.iVal = number;
        return EncodeAndWriteTagValue(*state, tag, value);
    };
    EXPECT_EQ(write(1), SOXPS_WRITE_NO_COMMUNICATION);
    const std::size_t sent = sim.frameCount(3);
    EXPECT_EQ(write(2), SOXPS_WRITE_NO_COMMUNICATION);
    EXPECT_EQ(write(3), SOXPS_WRITE_NO_COMMUNICATION);
    EXPECT_EQ(sim.frameCount(3), sent);  // nothing more went out

    sim.clearFaults(3);
    ASSERT_TRUE(thread.start());
    ASSERT_TRUE(WaitUntil([&] { return errors(3) == 0; }, 10s));
    EXPECT_EQ(write(4), SOXPS_WRITE_ACKNOWLEDGED);
    thread.stop();
    EXPECT_THAT(sim.readMemory(3, 40, 2), ElementsAre(0x00, 0x04));
}
