// The simulator on a real pseudo-terminal, spoken to through the platform's serial device
// like every bus master does.

#include "kvx/sim/simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "kvx/bus/frame.h"
#include "kvx/platform/serial_device.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using kvx::sim::Simulator;

// A master on the device path: 19200 8E1, 20 ms interval and a total time-out per read.
class Master {
  public:
    explicit Master(const std::string& path, std::uint32_t totalMs = 300) {
        int error = 0;
        dev_ = kvx::platform::SerialDevice::open(path, error);
        if (!dev_) throw std::runtime_error("cannot open " + path);
        dev_->setLineSettings(kvx::platform::LineSettings{});
        kvx::platform::SerialTimeouts t;
        t.readInterval = 20;
        t.readTotalConstant = totalMs;
        t.writeTotalConstant = 300;
        dev_->setTimeouts(t);
    }
    Bytes exchange(const Bytes& request, std::size_t expect = 256) {
        send(request);
        return receive(expect);
    }
    void send(const Bytes& bytes) {
        std::size_t written = 0;
        ASSERT_TRUE(dev_->write(bytes.data(), bytes.size(), written));
        ASSERT_EQ(written, bytes.size());
    }
    Bytes receive(std::size_t expect) {
        Bytes buf(expect);
        std::size_t got = 0;
        dev_->read(buf.data(), buf.size(), got);
        buf.resize(got);
        return buf;
    }

  private:
    std::unique_ptr<kvx::platform::SerialDevice> dev_;
};

Bytes shortFrame(int address, int dataAddress, int count) {
    auto f = kvx::bus::BuildShortFrame(address, dataAddress, 0, count);
    return Bytes(f.begin(), f.end());
}

Bytes longFrame(int address, int dataAddress, const Bytes& data) {
    Bytes out(data.size() + kvx::bus::kLongFrameOverhead);
    kvx::bus::BuildLongFrame(out, address, dataAddress, 0, data);
    return out;
}

Bytes counting(std::size_t n, std::uint8_t from = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(from + i);
    return b;
}

// A simulator with member 5 whose memory counts 0, 1, 2, ... from offset 0.
struct SimFixture : ::testing::Test {
    SimFixture() : sim(kvx::sim::SimulatorOptions{false, 7}) {
        sim.addMember(5, counting(256));
        sim.start();
    }
    Simulator sim;
};

TEST_F(SimFixture, ReadAnswersWithTheGoldenLongFrame) {
    Master m(sim.devicePath());
    const Bytes request = {0x00, 0x00, 0x00, 0x10, 0x05, 0x20, 0x00, 0x10, 0x45, 0x16};
    ASSERT_EQ(request, shortFrame(5, 0x20, 16));
    const Bytes expected = {0x00, 0x00, 0x00, 0x68, 0x05, 0x20, 0x00, 0x10, 0x9D,
                            0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
                            0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x78, 0x16};
    EXPECT_EQ(m.exchange(request, 27), expected);

    ASSERT_TRUE(sim.waitForFrames(1, 1s));
    auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, kvx::sim::FrameKind::Read);
    EXPECT_EQ(frames[0].address, 5);
    EXPECT_EQ(frames[0].dataAddress, 0x20);
    EXPECT_EQ(frames[0].byteCount, 16);
    EXPECT_TRUE(frames[0].forMember);
    EXPECT_TRUE(frames[0].answered);
    EXPECT_EQ(frames[0].faults, 0u);
    EXPECT_EQ(sim.frameCount(5), 1u);
}

TEST_F(SimFixture, LargestBlockAndTopOfMemory) {
    sim.writeMemory(5, 255, counting(245, 100));
    Master m(sim.devicePath());
    Bytes answer = m.exchange(shortFrame(5, 255, 245), 256);
    ASSERT_EQ(answer.size(), 256u);
    EXPECT_EQ(answer[7], 245);
    EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 254), counting(245, 100));
    EXPECT_EQ(answer.back(), 0x16);
}

TEST_F(SimFixture, WriteChangesMemoryAndIsAcknowledged) {
    Master m(sim.devicePath());
    const Bytes request = {0x00, 0x00, 0x00, 0x68, 0x05, 0x40, 0x00,
                           0x02, 0xAF, 0x12, 0x34, 0x46, 0x16};
    ASSERT_EQ(request, longFrame(5, 0x40, {0x12, 0x34}));
    Bytes ack = m.exchange(request, 10);
    ASSERT_EQ(ack.size(), 10u);
    EXPECT_EQ(Bytes(ack.begin(), ack.begin() + 3), Bytes(3, 0));
    EXPECT_EQ(ack[4], 0x05);
    EXPECT_EQ(ack[9], 0x16);
    EXPECT_EQ(sim.readMemory(5, 0x3F, 4), (Bytes{0x3F, 0x12, 0x34, 0x42}));

    // The write shows in the next read, and both frames are on record.
    Bytes answer = m.exchange(shortFrame(5, 0x40, 2), 13);
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_EQ(answer[9], 0x12);
    EXPECT_EQ(answer[10], 0x34);
    ASSERT_TRUE(sim.waitForFrames(5, 2, 1s));
    auto frames = sim.frames();
    EXPECT_EQ(frames[0].kind, kvx::sim::FrameKind::Write);
    EXPECT_EQ(frames[0].data, (Bytes{0x12, 0x34}));
}

TEST_F(SimFixture, InProcessExchangeAnswersAsTheTerminalDoes) {
    Master m(sim.devicePath());
    const Bytes write = longFrame(5, 0x40, {0xAB, 0xCD});
    const Bytes read = shortFrame(5, 0x3F, 4);
    EXPECT_EQ(sim.exchange(write), m.exchange(write, 10));
    const Bytes viaTerminal = m.exchange(read, 15);
    ASSERT_EQ(viaTerminal.size(), 15u);
    EXPECT_EQ(sim.exchange(read), viaTerminal);
    EXPECT_EQ(viaTerminal[10], 0xAB);  // the in-process write reached the memory
    // No member, garbage and an incomplete frame: nothing answers; garbage before a frame
    // is skipped.
    EXPECT_TRUE(sim.exchange(shortFrame(9, 0, 4)).empty());
    EXPECT_TRUE(sim.exchange(Bytes(read.begin(), read.end() - 1)).empty());
    Bytes noisy = {0x55, 0x10, 0x68};
    noisy.insert(noisy.end(), read.begin(), read.end());
    EXPECT_EQ(sim.exchange(noisy), viaTerminal);
    ASSERT_TRUE(sim.waitForFrames(5, 5, 1s));
    EXPECT_EQ(sim.frameCount(5), 5u);
    const auto frames = sim.frames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                            [](const auto& f) { return f.kind == kvx::sim::FrameKind::Write; }),
              2);
}

TEST_F(SimFixture, FramesForAbsentAddressesGetNoAnswer) {
    Master m(sim.devicePath(), 150);
    EXPECT_TRUE(m.exchange(shortFrame(6, 0, 10)).empty());
    EXPECT_TRUE(m.exchange(longFrame(31, 2, {1, 2})).empty());
    ASSERT_TRUE(sim.waitForFrames(2, 1s));
    for (const auto& f : sim.frames()) {
        EXPECT_FALSE(f.forMember);
        EXPECT_FALSE(f.answered);
    }
    EXPECT_EQ(sim.frameCount(5), 0u);
    EXPECT_EQ(sim.frameCount(6), 0u);
    // Nothing more arrives: the wait gives up.
    EXPECT_FALSE(sim.waitForFrames(3, 50ms));
}

TEST_F(SimFixture, ResynchronisesAfterGarbage) {
    Master m(sim.devicePath());
    // Stray bytes, a frame with a broken header check, a frame with a broken data check,
    // then a good read: only the good one is taken in.
    Bytes line = {0xFF, 0x00, 0x16, 0x00, 0x00, 0x10, 0x33};
    Bytes badHeader = shortFrame(5, 0, 4);
    badHeader[8] ^= 0x01;
    Bytes badData = longFrame(5, 0, {9, 9});
    badData[11] ^= 0x01;
    line.insert(line.end(), badHeader.begin(), badHeader.end());
    line.insert(line.end(), badData.begin(), badData.end());
    Bytes good = shortFrame(5, 3, 2);
    line.insert(line.end(), good.begin(), good.end());
    Bytes answer = m.exchange(line, 13);
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_EQ(answer[9], 3);
    EXPECT_EQ(answer[10], 4);
    ASSERT_TRUE(sim.waitForFrames(1, 1s));
    EXPECT_EQ(sim.frameCount(), 1u);
    EXPECT_EQ(sim.readMemory(5, 0, 2), (Bytes{0, 1}));  // the broken write was not applied
}

TEST_F(SimFixture, IncompleteFrameIsDroppedWhenTheLineGoesQuiet) {
    Master m(sim.devicePath());
    // A long frame announcing 200 bytes that never come, then after a pause a good read.
    Bytes stub = {
        0x00, 0x00, 0x00, 0x68, 0x05, 0x00, 0x00, 0xC8, kvx::bus::HeaderCheck(0x68, 5, 0, 0, 0xC8),
        1,    2};
    m.send(stub);
    std::this_thread::sleep_for(120ms);
    Bytes answer = m.exchange(shortFrame(5, 1, 1), 12);
    ASSERT_EQ(answer.size(), 12u);
    EXPECT_EQ(answer[9], 1);
}

TEST_F(SimFixture, FrameArrivingInPiecesIsAssembled) {
    Master m(sim.devicePath());
    Bytes f = shortFrame(5, 8, 3);
    m.send(Bytes(f.begin(), f.begin() + 4));
    std::this_thread::sleep_for(10ms);
    m.send(Bytes(f.begin() + 4, f.end()));
    Bytes answer = m.exchange({}, 14);
    ASSERT_EQ(answer.size(), 14u);
    EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 12), (Bytes{8, 9, 10}));
}

TEST_F(SimFixture, MemoryApiChecksAddresses) {
    EXPECT_THROW(sim.addMember(32), kvx::sim::SimError);
    EXPECT_THROW(sim.addMember(-1), kvx::sim::SimError);
    EXPECT_THROW(sim.readMemory(6, 0, 1), kvx::sim::SimError);
    EXPECT_TRUE(sim.readMemory(5, 512, 4).empty());
    EXPECT_EQ(sim.readMemory(5, 510, 10).size(), 2u);
    sim.writeMemory(5, 508, Bytes(10, 0xAA));  // clipped at the end of memory
    EXPECT_EQ(sim.memory(5)[511], 0xAA);
    sim.writeText(5, 100, "T-100");
    EXPECT_EQ(sim.readMemory(5, 100, 5), (Bytes{'T', '-', '1', '0', '0'}));
    EXPECT_EQ(sim.memberAddresses(), std::vector<int>{5});
    sim.removeMember(5);
    EXPECT_FALSE(sim.hasMember(5));
}

// --- faults ------------------------------------------------------------------------------

TEST_F(SimFixture, SilenceIgnoresReadsAndWrites) {
    kvx::sim::Faults f;
    f.silence = 1.0;
    sim.setFaults(5, f);
    Master m(sim.devicePath(), 150);
    EXPECT_TRUE(m.exchange(shortFrame(5, 0, 4)).empty());
    EXPECT_TRUE(m.exchange(longFrame(5, 0, {0xEE})).empty());
    EXPECT_EQ(sim.readMemory(5, 0, 1), Bytes{0});
    ASSERT_TRUE(sim.waitForFrames(5, 2, 1s));
    for (const auto& fr : sim.frames()) {
        EXPECT_TRUE(fr.forMember);
        EXPECT_FALSE(fr.answered);
        EXPECT_EQ(fr.faults, kvx::sim::kFaultSilence);
    }
    sim.clearFaults(5);
    EXPECT_EQ(m.exchange(shortFrame(5, 0, 4), 15).size(), 15u);
}

TEST_F(SimFixture, ShortAnswerLeavesOutDataBytes) {
    kvx::sim::Faults f;
    f.shortAnswer = {1.0, 2};
    sim.setFaults(5, f);
    Master m(sim.devicePath());
    Bytes answer = m.exchange(shortFrame(5, 0x10, 8), 19);
    ASSERT_EQ(answer.size(), 17u);
    EXPECT_EQ(answer[3], 0x68);
    EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 15), counting(6, 0x10));
    EXPECT_EQ(answer.back(), 0x16);

    // More missing bytes than data: the frame itself is cut from its end, down to the
    // 10 bytes that the scan tool takes as "no type".
    f.shortAnswer = {1.0, 9};
    sim.setFaults(5, f);
    answer = m.exchange(shortFrame(5, 0x10, 8), 19);
    ASSERT_EQ(answer.size(), 10u);
    EXPECT_EQ(answer[3], 0x68);
    EXPECT_NE(answer.back(), 0x16);
}

TEST_F(SimFixture, LongAnswerAddsBytesFromFollowingMemory) {
    kvx::sim::Faults f;
    f.longAnswer = {1.0, 3};
    sim.setFaults(5, f);
    Master m(sim.devicePath());
    Bytes answer = m.exchange(shortFrame(5, 0x10, 4), 64);
    ASSERT_EQ(answer.size(), 18u);
    EXPECT_EQ(answer[7], 7);
    EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 16), counting(7, 0x10));
    EXPECT_EQ(answer.back(), 0x16);
    // A master reading byte count + 11 bytes ends on a data byte, not on the end character.
    answer.resize(15);
    EXPECT_NE(answer.back(), 0x16);
}

TEST_F(SimFixture, TwoPreambleBytesAndWrongEnd) {
    kvx::sim::Faults f;
    f.twoPreamble = 1.0;
    sim.setFaults(5, f);
    Master m(sim.devicePath());
    Bytes answer = m.exchange(shortFrame(5, 0, 4), 15);
    ASSERT_EQ(answer.size(), 14u);
    EXPECT_EQ(answer[2], 0x68);
    EXPECT_EQ(answer.back(), 0x16);

    f = {};
    f.wrongEnd = 1.0;
    sim.setFaults(5, f);
    answer = m.exchange(shortFrame(5, 0, 4), 15);
    ASSERT_EQ(answer.size(), 15u);
    EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 13), counting(4));
    EXPECT_NE(answer.back(), 0x16);
}

TEST_F(SimFixture, GarbledDataBytesBreakTheDataCheck) {
    kvx::sim::Faults f;
    f.garbled = {1.0, 2};
    sim.setFaults(5, f);
    Master m(sim.devicePath());
    Bytes answer = m.exchange(shortFrame(5, 0x40, 16), 27);
    ASSERT_EQ(answer.size(), 27u);
    const Bytes data(answer.begin() + 9, answer.begin() + 25);
    const Bytes original = counting(16, 0x40);
    int differing = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        if (data[i] != original[i]) {
            ++differing;
            EXPECT_EQ(data[i], static_cast<std::uint8_t>(~original[i]));
        }
    }
    EXPECT_EQ(differing, 2);
    EXPECT_EQ(answer[25], kvx::bus::ByteSum(original));
    EXPECT_NE(answer[25], kvx::bus::ByteSum(data));
    EXPECT_EQ(answer.back(), 0x16);
}

TEST_F(SimFixture, WrongIdentityDisturbsOnlyIdentityRegions) {
    sim.writeText(5, 4, "TC-200");
    sim.setIdentityRegions(5, {{4, 6}});
    kvx::sim::Faults f;
    f.wrongIdentity = 1.0;
    sim.setFaults(5, f);
    Master m(sim.devicePath());
    Bytes answer = m.exchange(shortFrame(5, 0, 12), 23);
    ASSERT_EQ(answer.size(), 23u);
    EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 21),
              (Bytes{0, 1, 2, 3, '?', '?', '?', '?', '?', '?', 10, 11}));
    // Consistent frame: the member really shows another identity.
    EXPECT_EQ(answer[21], kvx::bus::ByteSum(Bytes(answer.begin() + 9, answer.begin() + 21)));
    // A read that does not cover the identity is untouched and carries no fault bit.
    answer = m.exchange(shortFrame(5, 20, 2), 13);
    EXPECT_EQ(answer[9], 20);
    ASSERT_TRUE(sim.waitForFrames(2, 1s));
    EXPECT_EQ(sim.frames()[0].faults, kvx::sim::kFaultWrongIdentity);
    EXPECT_EQ(sim.frames()[1].faults, 0u);
}

TEST_F(SimFixture, TurnaroundAndDelayPostponeTheAnswer) {
    sim.setTurnaround(5, 30ms);
    kvx::sim::Faults f;
    f.delayRate = 1.0;
    f.delay = 60ms;
    sim.setFaults(5, f);
    Master m(sim.devicePath(), 400);
    const auto t0 = std::chrono::steady_clock::now();
    Bytes answer = m.exchange(shortFrame(5, 0, 2), 13);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(answer.size(), 13u);
    EXPECT_GE(took, 90ms);
    // The write acknowledgement waits as well.
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(m.exchange(longFrame(5, 0, {1}), 10).size(), 10u);
    EXPECT_GE(std::chrono::steady_clock::now() - t1, 90ms);
}

// With a rate between 0 and 1 some exchanges are struck and some not, and the same seed
// gives the same sequence.
TEST(SimFaultRate, PartialRateIsSeededAndRepeatable) {
    auto run = [](std::uint64_t seed) {
        Simulator sim(kvx::sim::SimulatorOptions{false, seed});
        sim.addMember(2, counting(64));
        kvx::sim::Faults f;
        f.silence = 0.5;
        sim.setFaults(2, f);
        sim.start();
        Master m(sim.devicePath(), 60);
        std::vector<bool> answered;
        for (int i = 0; i < 24; ++i)
            answered.push_back(!m.exchange(shortFrame(2, 0, 1), 12).empty());
        EXPECT_TRUE(sim.waitForFrames(24, 2s));
        for (std::size_t i = 0; i < answered.size(); ++i) {
            EXPECT_EQ(answered[i], sim.frames()[i].answered);
        }
        return answered;
    };
    const auto a = run(42);
    EXPECT_EQ(a, run(42));
    const auto silent = std::count(a.begin(), a.end(), false);
    EXPECT_GT(silent, 2);
    EXPECT_LT(silent, 22);
}

// --- wire timing -------------------------------------------------------------------------

std::chrono::steady_clock::duration timeRead(Simulator& sim, int count) {
    Master m(sim.devicePath(), 500);
    const auto t0 = std::chrono::steady_clock::now();
    Bytes answer = m.exchange(shortFrame(1, 0, count), static_cast<std::size_t>(count) + 11);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(answer.size(), static_cast<std::size_t>(count) + 11);
    return took;
}

TEST(SimWireTiming, AnswersTakeTheirTimeOnTheLine) {
    Simulator sim;  // wire timing on by default
    ASSERT_TRUE(sim.wireTiming());
    sim.addMember(1, counting(128));
    sim.start();
    // Request 10 bytes plus answer 75 bytes: 85 characters of 0.5729 ms.
    const auto line = kvx::sim::kByteTime * 85;
    const auto took = timeRead(sim, 64);
    EXPECT_GE(took, line);
    EXPECT_LT(took, line * 3 + 100ms);  // generous: the machine is shared

    sim.setWireTiming(false);
    auto fastest = timeRead(sim, 64);
    for (int i = 0; i < 2; ++i) fastest = std::min(fastest, timeRead(sim, 64));
    EXPECT_LT(fastest, line);
}

// Answers are snapshots: a read never mixes bytes from before and after a poke.
TEST(SimConcurrency, AnswersAreConsistentWhileMemoryIsPoked) {
    Simulator sim(kvx::sim::SimulatorOptions{false, 1});
    sim.addMember(9, Bytes(64, 0));
    sim.start();
    std::atomic<bool> done{false};
    std::thread poker([&] {
        std::uint8_t v = 0;
        while (!done) sim.writeMemory(9, 0, Bytes(64, ++v));
    });
    Master m(sim.devicePath());
    for (int i = 0; i < 20; ++i) {
        Bytes answer = m.exchange(shortFrame(9, 0, 64), 75);
        ASSERT_EQ(answer.size(), 75u);
        EXPECT_TRUE(std::all_of(answer.begin() + 9, answer.begin() + 73,
                                [&](std::uint8_t b) { return b == answer[9]; }));
    }
    done = true;
    poker.join();
    sim.stop();
    EXPECT_FALSE(sim.running());
}

}  // namespace

namespace {

// A stop does not wait for an answer that is still being held back.
TEST(SimLifecycle, StopInterruptsAPendingAnswer) {
    Simulator sim(kvx::sim::SimulatorOptions{true, 1});
    sim.addMember(4, counting(16));
    kvx::sim::Faults f;
    f.delayRate = 1.0;
    f.delay = std::chrono::seconds(5);
    sim.setFaults(4, f);
    sim.start();
    Master m(sim.devicePath(), 50);
    m.send(shortFrame(4, 0, 4));
    ASSERT_TRUE(sim.waitForFrames(1, 1s));
    const auto t0 = std::chrono::steady_clock::now();
    sim.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_TRUE(m.receive(15).empty());
    // And it serves again after a restart.
    sim.clearFaults(4);
    sim.start();
    EXPECT_EQ(m.exchange(shortFrame(4, 0, 4), 15).size(), 15u);
}

}  // namespace

namespace {

// A password-protected member keeps value writes out until it has been unlocked.
TEST_F(SimFixture, LockedMemberTakesWritesOnlyAfterTheUnlock) {
    sim.writeMemory(5, 2, {0x00, 0x00});
    sim.setWriteLock(5, true);
    Master m(sim.devicePath());
    EXPECT_EQ(m.exchange(longFrame(5, 0x30, {0xAB}), 10).size(), 10u);  // acknowledged...
    EXPECT_EQ(sim.readMemory(5, 0x30, 1), Bytes{0x30});                 // ...but not taken
    // A half-written code (one zero byte) does not unlock.
    EXPECT_EQ(m.exchange(longFrame(5, 2, {0x5A, 0x00}), 10).size(), 10u);
    EXPECT_EQ(m.exchange(longFrame(5, 0x30, {0xAB}), 10).size(), 10u);
    EXPECT_EQ(sim.readMemory(5, 0x30, 1), Bytes{0x30});
    EXPECT_EQ(m.exchange(longFrame(5, 2, {0x5A, 0xA5}), 10).size(), 10u);
    EXPECT_EQ(m.exchange(longFrame(5, 0x30, {0xAB}), 10).size(), 10u);
    EXPECT_EQ(sim.readMemory(5, 0x30, 1), Bytes{0xAB});
    ASSERT_TRUE(sim.waitForFrames(5, 5, 1s));
    const auto frames = sim.frames();
    const std::vector<bool> refused = {frames[0].writeRefused, frames[1].writeRefused,
                                       frames[2].writeRefused, frames[3].writeRefused,
                                       frames[4].writeRefused};
    EXPECT_EQ(refused, (std::vector<bool>{true, false, true, false, false}));
    // Unlocked members (the default) take every write.
    sim.setWriteLock(5, false);
    sim.writeMemory(5, 2, {0x00, 0x00});
    m.exchange(longFrame(5, 0x31, {0xCD}), 10);
    EXPECT_EQ(sim.readMemory(5, 0x31, 1), Bytes{0xCD});
}

}  // namespace
