#include "kvx/bus/serial_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

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

}  // namespace
}  // namespace kvx::bus
