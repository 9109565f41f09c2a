// The serial device against a real pseudo-terminal: read time-out semantics, exclusive use and
// the line settings path through termios.

#include "kvx/platform/serial_device.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <thread>
#include <vector>

#include "kvx/platform/pseudo_terminal.h"

namespace kvx::platform {
namespace {

using namespace std::chrono_literals;

class SerialDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int error = 0;
        pty_ = PseudoTerminal::create(error);
        ASSERT_NE(pty_, nullptr) << "pseudo-terminal: error " << error;
        device_ = SerialDevice::open(pty_->slavePath(), error);
        ASSERT_NE(device_, nullptr) << "open: error " << error;
        LineSettings settings;  // 19200 8E1, no handshake
        ASSERT_TRUE(device_->setLineSettings(settings));
    }

    // Interval 20 ms, total 500 ms: the time-outs of the bus masters.
    void useBusTimeouts() { ASSERT_TRUE(device_->setTimeouts({20, 0, 500, 1, 300})); }

    std::unique_ptr<PseudoTerminal> pty_;
    std::unique_ptr<SerialDevice> device_;
};

double elapsedMs(MonoTime since) {
    return std::chrono::duration<double, std::milli>(MonoClock::now() - since).count();
}

TEST_F(SerialDeviceTest, SilentLineEndsAtTheTotalTimeout) {
    useBusTimeouts();
    std::array<std::uint8_t, 21> buffer{};
    std::size_t got = 99;
    const auto start = MonoClock::now();
    ASSERT_TRUE(device_->read(buffer.data(), buffer.size(), got));
    const double ms = elapsedMs(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(ms, 495.0);
    EXPECT_LT(ms, 1500.0);  // generous: the machine may be loaded
}

TEST_F(SerialDeviceTest, ReadEndsAtTheIntervalTimeoutAfterTheLastByte) {
    useBusTimeouts();
    const std::uint8_t five[] = {1, 2, 3, 4, 5};
    MonoTime sending{};
    std::thread member([&] {
        std::this_thread::sleep_for(50ms);
        sending = MonoClock::now();  // no byte is on the line before this
        pty_->writeAll(five, sizeof five);
    });
    std::array<std::uint8_t, 21> buffer{};
    std::size_t got = 0;
    const auto start = MonoClock::now();
    ASSERT_TRUE(device_->read(buffer.data(), buffer.size(), got));
    const auto end = MonoClock::now();
    member.join();
    ASSERT_EQ(got, 5u);
    EXPECT_EQ(buffer[4], 5);
    // 20 ms of silence after the last byte end the read (counted from the bytes, not from the
    // read's start, which a busy machine may take late); far from the 500 ms total.
    const auto ms = [](MonoTime from, MonoTime to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    EXPECT_GE(ms(sending, end), 19.5);
    EXPECT_LT(ms(start, end), 400.0);
}

TEST_F(SerialDeviceTest, ReadEndsWhenTheAskedBytesArrived) {
    // A long interval and total time-out that must not be waited for.
    ASSERT_TRUE(device_->setTimeouts({2000, 0, 5000, 0, 0}));
    std::vector<std::uint8_t> answer(40, 0xA5);
    std::thread member([&] { pty_->writeAll(answer.data(), answer.size()); });
    std::array<std::uint8_t, 40> buffer{};
    std::size_t got = 0;
    const auto start = MonoClock::now();
    ASSERT_TRUE(device_->read(buffer.data(), buffer.size(), got));
    member.join();
    EXPECT_EQ(got, 40u);
    EXPECT_LT(elapsedMs(start), 1500.0);
}

TEST_F(SerialDeviceTest, BytesTricklingInKeepTheReadGoingUntilTheTotalTimeout) {
    // Each byte comes within the interval, so only the total time-out ends the read.
    ASSERT_TRUE(device_->setTimeouts({100, 0, 300, 0, 0}));
    std::thread member([&] {
        for (std::uint8_t i = 0; i < 12; ++i) {
            pty_->writeAll(&i, 1);
            std::this_thread::sleep_for(40ms);
        }
    });
    std::array<std::uint8_t, 64> buffer{};
    std::size_t got = 0;
    const auto start = MonoClock::now();
    ASSERT_TRUE(device_->read(buffer.data(), buffer.size(), got));
    const double ms = elapsedMs(start);
    member.join();
    EXPECT_GE(ms, 295.0);
    EXPECT_LT(ms, 1200.0);
    EXPECT_GT(got, 2u);
    EXPECT_LT(got, 12u);
}

TEST_F(SerialDeviceTest, ZeroTimeoutsStillEndTheRead) {
    ASSERT_TRUE(device_->setTimeouts({0, 0, 0, 0, 0}));
    std::array<std::uint8_t, 8> buffer{};
    std::size_t got = 1;
    const auto start = MonoClock::now();
    ASSERT_TRUE(device_->read(buffer.data(), buffer.size(), got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(elapsedMs(start), kUnboundedReadCapMs + 1500.0);
}

TEST_F(SerialDeviceTest, WrittenBytesReachTheOtherSide) {
    useBusTimeouts();
    const std::uint8_t frame[] = {0, 0, 0, 0x10, 5, 0x20, 0, 0x10, 0x45, 0x16};
    std::size_t written = 0;
    ASSERT_TRUE(device_->write(frame, sizeof frame, written));
    EXPECT_EQ(written, sizeof frame);
    std::array<std::uint8_t, 32> seen{};
    std::size_t total = 0;
    const auto start = MonoClock::now();
    while (total < sizeof frame && elapsedMs(start) < 2000) {
        long n = pty_->readSome(seen.data() + total, seen.size() - total, 100ms);
        ASSERT_GE(n, 0);
        total += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(total, sizeof frame);
    EXPECT_TRUE(std::equal(std::begin(frame), std::end(frame), seen.begin()));
}

// A write ends when its bytes have left the line (as on Windows), not when they are queued:
// 127 characters of 11 bits at 19200 baud take 72.8 ms, so the total time-out of the read
// that follows starts after them and a member gets its whole 500 ms to answer.
TEST_F(SerialDeviceTest, WriteEndsWhenItsBytesHaveLeftTheLine) {
    useBusTimeouts();
    std::vector<std::uint8_t> request(127, 0x55);
    std::size_t written = 0;
    const auto start = MonoClock::now();
    ASSERT_TRUE(device_->write(request.data(), request.size(), written));
    const double writeMs = elapsedMs(start);
    EXPECT_EQ(written, request.size());
    EXPECT_GE(writeMs, 127 * 11 * 1000.0 / 19200 - 0.5);
    EXPECT_LT(writeMs, 300.0 + 127);  // within the write time-out
    std::array<std::uint8_t, 21> answer{};
    std::size_t got = 99;
    ASSERT_TRUE(device_->read(answer.data(), answer.size(), got));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsedMs(start), writeMs + 495.0);
    std::vector<std::uint8_t> seen(256);
    EXPECT_EQ(pty_->readSome(seen.data(), seen.size(), 100ms), 127);
}

TEST_F(SerialDeviceTest, BytesThatArrivedWhileClosedAreNotReadAfterTheNextOpen) {
    device_->close();
    const std::uint8_t late[] = {0, 0, 0, 0x68, 1, 0, 0, 1, 0x6A, 0x55, 0x55, 0x16};
    ASSERT_TRUE(pty_->writeAll(late, sizeof late));
    std::this_thread::sleep_for(20ms);
    int error = 0;
    device_ = SerialDevice::open(pty_->slavePath(), error);
    ASSERT_NE(device_, nullptr);
    ASSERT_TRUE(device_->setTimeouts({20, 0, 100, 0, 0}));
    std::array<std::uint8_t, 32> buffer{};
    std::size_t got = 99;
    ASSERT_TRUE(device_->read(buffer.data(), buffer.size(), got));
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialDeviceTest, HeldPortCannotBeOpenedAgainUntilClosed) {
    int error = 0;
    EXPECT_EQ(SerialDevice::open(pty_->slavePath(), error), nullptr);
    EXPECT_NE(error, 0);
    device_->close();
    auto again = SerialDevice::open(pty_->slavePath(), error);
    EXPECT_NE(again, nullptr) << "error " << error;
}

TEST_F(SerialDeviceTest, LineSettingsRoundTripAndRefusedHandshakes) {
    LineSettings read;
    ASSERT_TRUE(device_->getLineSettings(read));
    EXPECT_EQ(read.baudRate, 19200u);
    EXPECT_EQ(read.byteSize, 8);
    // Pseudo-terminals do not keep the parity bits, so parity is not read back here.
    EXPECT_EQ(read.stopBits, StopBits::One);

    LineSettings odd2 = read;
    odd2.parity = Parity::Odd;
    odd2.stopBits = StopBits::Two;
    ASSERT_TRUE(device_->setLineSettings(odd2));
    ASSERT_TRUE(device_->getLineSettings(read));
    EXPECT_EQ(read.stopBits, StopBits::Two);

    // DSR flow control cannot be done here: refused, never silently ignored.
    LineSettings dsr = read;
    dsr.outxDsrFlow = true;
    EXPECT_FALSE(device_->setLineSettings(dsr));
    EXPECT_EQ(device_->lastError(), EINVAL);
    LineSettings badBaud = read;
    badBaud.baudRate = 12345;
    EXPECT_FALSE(device_->setLineSettings(badBaud));
}

TEST_F(SerialDeviceTest, EvenParityOnAPseudoTerminalIsAppliedAtEveryOpen) {
    // Pseudo-terminals drop the parity bits; the rest of the settings must still count as
    // applied, at the first open and at every later one.
    LineSettings even;
    even.parity = Parity::Even;
    even.parityCheck = true;
    even.dtrControl = DtrControl::Disable;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(device_->setLineSettings(even))
            << "open " << i << ": error " << device_->lastError();
        device_->close();
        int error = 0;
        device_ = SerialDevice::open(pty_->slavePath(), error);
        ASSERT_NE(device_, nullptr) << error;
    }
    LineSettings read;
    ASSERT_TRUE(device_->getLineSettings(read));
    EXPECT_EQ(read.baudRate, 19200u);
    EXPECT_EQ(read.byteSize, 8);
}

TEST(SerialDeviceOpen, MissingPortFails) {
    int error = 0;
    EXPECT_EQ(SerialDevice::open("/dev/kvx-no-such-port", error), nullptr);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(SerialDevice::open("", error), nullptr);
    EXPECT_NE(error, 0);
    EXPECT_EQ(SerialDevice::open(std::string(300, 'x'), error), nullptr);
    EXPECT_EQ(error, ENAMETOOLONG);
}

TEST(SerialDeviceOpen, RegularFileIsNoSerialPort) {
    int error = 0;
    EXPECT_EQ(SerialDevice::open("/etc/hostname", error), nullptr);
    EXPECT_NE(error, 0);
}

TEST(SystemErrorText, KnownAndUnknownCodes) {
    std::string text;
    EXPECT_TRUE(systemErrorText(ENOENT, text));
    EXPECT_FALSE(text.empty());
    EXPECT_FALSE(systemErrorText(99999, text));
    EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace kvx::platform
