#include "kvx/platform/port_name.h"

#include <gtest/gtest.h>

#include <string>

namespace kvx::platform {
namespace {

TEST(PortName, ComNamesMapToStandardSerialPorts) {
    EXPECT_EQ(devicePathForPort("COM1"), "/dev/ttyS0");
    EXPECT_EQ(devicePathForPort("com8"), "/dev/ttyS7");
    // Names are held whole: COM12 is the twelfth port, not COM1.
    EXPECT_EQ(devicePathForPort("COM12"), "/dev/ttyS11");
}

TEST(PortName, PathsAndBareNames) {
    EXPECT_EQ(devicePathForPort("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(devicePathForPort("serial/by-id/usb-FTDI"), "serial/by-id/usb-FTDI");
    EXPECT_EQ(devicePathForPort("ttyUSB0"), "/dev/ttyUSB0");
    // Not a COM number: a device name like any other.
    EXPECT_EQ(devicePathForPort("COM0"), "/dev/COM0");
    EXPECT_EQ(devicePathForPort("COMX"), "/dev/COMX");
    EXPECT_EQ(devicePathForPort("COM"), "/dev/COM");
}

TEST(PortName, LengthLimits) {
    EXPECT_FALSE(isAcceptablePortName(""));
    EXPECT_TRUE(isAcceptablePortName(std::string(255, 'a')));
    EXPECT_FALSE(isAcceptablePortName(std::string(256, 'a')));
    EXPECT_FALSE(isAcceptablePortName(std::string("CO\0M1", 5)));
}

}  // namespace
}  // namespace kvx::platform
