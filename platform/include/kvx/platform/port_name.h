#pragma once
// Port names as users type them ("COM1", "ttyUSB0", "/dev/pts/3") and the device paths they
// stand for. Names are held whole: they are never cut to a fixed number of characters.

#include <optional>
#include <string>
#include <string_view>

namespace kvx::platform {

// Longest port name the system accepts, in bytes.
inline constexpr std::size_t kMaxPortNameLength = 255;

// True when `name` is non-empty, at most kMaxPortNameLength bytes and holds no NUL.
bool isAcceptablePortName(std::string_view name);

// Device path for a port name:
//  - a name containing '/' is a path and is used unchanged;
//  - "COMn" (any letter case, n >= 1) is the n-th standard serial port (/dev/ttyS{n-1} on Linux);
//  - any other name is a device in /dev ("ttyUSB0" -> "/dev/ttyUSB0").
std::string devicePathForPort(std::string_view name);

}  // namespace kvx::platform
