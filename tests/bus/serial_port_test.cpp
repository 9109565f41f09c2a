#include "kvx/bus/serial_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "kvx/platform/pseudo_terminal.h"

namespace kvx::bus {
namespace {

TEST(CSerialPort, CloseOnAClosedInstanceDoesNothing) {
    CSerialPort port;
    EXPECT_FALSE(port.IsOpen());
    port.ClosePort();
    port.ClosePort();
    EXPECT_FALSE(port.IsOpen());
}

TEST(CSerialPort, MissingPortThrowsWithTheSystemErrorAndStaysClosed) {
    CSerialPort port;
    try {
        port.OpenPort("/dev/kvx-no-such-port", 19200, EvenParity, 8, OneStopBit, NoHandshake,
                      false);
        FAIL() << "no exception";
    } catch (const CSerialException& e) {
        EXPECT_EQ(e.errorCode(), static_cast<std::uint32_t>(ENOENT));
        char text[64];
        unsigned help = 77;
        EXPECT_TRUE(e.GetErrorMessage(text, sizeof text, &help));
        EXPECT_EQ(help, 0u);
        EXPECT_GT(std::strlen(text), 0u);
    }
    EXPECT_FALSE(port.IsOpen());
}

TEST(CSerialPort, ErrorTextIsCutToTheCapacity) {
    CSerialException e(ENOENT);
    char text[5];
    EXPECT_TRUE(e.GetErrorMessage(text, sizeof text));
    EXPECT_EQ(std::strlen(text), 4u);
    CSerialException unknown(99999);
    EXPECT_FALSE(unknown.GetErrorMessage(text, sizeof text));
    EXPECT_STREQ(text, "");
}

class CSerialPortOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        int error = 0;
        pty_ = platform::PseudoTerminal::create(error);
        ASSERT_NE(pty_, nullptr);
    }
    std::unique_ptr<platform::PseudoTerminal> pty_;
    CSerialPort port_;
};

TEST_F(CSerialPortOnPty, OpensWithTheBusSettings) {
    port_.OpenPort(pty_->slavePath(), 19200, EvenParity, 8, OneStopBit, NoHandshake, false);
    ASSERT_TRUE(port_.IsOpen());
    platform::LineSettings dcb;
    port_.GetLineSettings(dcb);
    EXPECT_EQ(dcb.baudRate, 19200u);
    EXPECT_EQ(dcb.byteSize, 8);
    EXPECT_FALSE(dcb.outxCtsFlow);
    EXPECT_FALSE(dcb.outX);
    port_.ClosePort();
    EXPECT_FALSE(port_.IsOpen());
}

TEST_F(CSerialPortOnPty, CodesOutsideTheTablesKeepTheReportedSettings) {
    port_.OpenPort(pty_->slavePath(), 19200, EvenParity, 8, TwoStopBits, NoHandshake, false);
    port_.ClosePort();
    // Stop-bit code 7 leaves what the device reports (two stop bits from the last open).
    port_.OpenPort(pty_->slavePath(), 19200, 9, 8, 7, 99, false);
    platform::LineSettings dcb;
    port_.GetLineSettings(dcb);
    EXPECT_EQ(dcb.stopBits, platform::StopBits::Two);
}

TEST_F(CSerialPortOnPty, UnsupportedHandshakeIsRefusedButThePortCountsAsOpen) {
    EXPECT_THROW(
        port_.OpenPort(pty_->slavePath(), 19200, EvenParity, 8, OneStopBit, DsrDtrHandshake, false),
        CSerialException);
    // Opened before the settings were refused: the caller must close it.
    EXPECT_TRUE(port_.IsOpen());
    port_.ClosePort();
}

TEST_F(CSerialPortOnPty, XonXoffAndCtsRtsHandshakesApply) {
    port_.OpenPort(pty_->slavePath(), 19200, EvenParity, 8, OneStopBit, XonXoffHandshake, false);
    platform::LineSettings dcb;
    port_.GetLineSettings(dcb);
    EXPECT_TRUE(dcb.outX);
    EXPECT_TRUE(dcb.inX);
    EXPECT_EQ(dcb.xonChar, 0x11);
    EXPECT_EQ(dcb.xoffChar, 0x13);
    port_.ClosePort();
    port_.OpenPort(pty_->slavePath(), 19200, EvenParity, 8, OneStopBit, CtsRtsHandshake, false);
    port_.GetLineSettings(dcb);
    EXPECT_TRUE(dcb.outxCtsFlow);
    EXPECT_FALSE(dcb.outX);
}

TEST_F(CSerialPortOnPty, IoOnAClosedPortThrows) {
    char buffer[4];
    EXPECT_THROW(port_.ReadBytes(buffer, 4), CSerialException);
    EXPECT_THROW(port_.WriteBytes(buffer, 4), CSerialException);
}

// A device that only keeps what the port sets, for the opener seam.
struct KeptSettings {
    std::string name;
    platform::LineSettings line;
};
KeptSettings g_kept;

class KeepingDevice final : public platform::SerialDevice {
  public:
    bool getLineSettings(platform::LineSettings& out) override {
        out = g_kept.line;
        return true;
    }
    bool setLineSettings(const platform::LineSettings& in) override {
        g_kept.line = in;
        return true;
    }
    bool getTimeouts(platform::SerialTimeouts&) override { return true; }
    bool setTimeouts(const platform::SerialTimeouts&) override { return true; }
    bool setQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
    bool setEventMask(std::uint32_t) override { return true; }
    bool read(void*, std::size_t, std::size_t& got) override {
        got = 0;
        return true;
    }
    bool write(const void*, std::size_t count, std::size_t& written) override {
        written = count;
        return true;
    }
    void close() override {}
    int lastError() const override { return 0; }
};

TEST(CSerialPort, InstalledOpenerSuppliesTheDeviceUntilRemoved) {
    const auto previous = SetSerialDeviceOpener(
        [](std::string_view name, int& error) -> std::unique_ptr<platform::SerialDevice> {
            g_kept.name = std::string(name);
            if (name == "COM9") {
                error = EACCES;
                return nullptr;
            }
            return std::make_unique<KeepingDevice>();
        });
    EXPECT_EQ(previous, nullptr);  // the system's ports are the default
    {
        CSerialPort port;
        port.OpenPort("/dev/kvx-no-such-port", 9600, OddParity, 7, TwoStopBits, NoHandshake, false);
        EXPECT_TRUE(port.IsOpen());
        EXPECT_EQ(g_kept.name, "/dev/kvx-no-such-port");
        EXPECT_EQ(g_kept.line.baudRate, 9600u);
        EXPECT_EQ(g_kept.line.parity, platform::Parity::Odd);
        EXPECT_EQ(g_kept.line.stopBits, platform::StopBits::Two);
        try {
            port.OpenPort("COM9", 19200, EvenParity, 8, OneStopBit, NoHandshake, false);
            FAIL() << "no exception";
        } catch (const CSerialException& e) {
            EXPECT_EQ(e.errorCode(), static_cast<std::uint32_t>(EACCES));
        }
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_NE(SetSerialDeviceOpener(nullptr), nullptr);
    CSerialPort port;
    EXPECT_THROW(port.OpenPort("/dev/kvx-no-such-port", 19200, EvenParity, 8, OneStopBit,
                               NoHandshake, false),
                 CSerialException);
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace kvx::bus
