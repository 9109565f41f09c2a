#include <string>

#include "kvx/platform/serial_device.h"

namespace kvx::platform {

// A COM port that another program holds answers "access denied" as well, and the system has
// no way to tell that from a lack of permission: no refusal gets words of its own here.
std::string accessRefusal(std::string_view, int) {
    return {};
}

}  // namespace kvx::platform
