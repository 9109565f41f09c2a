#include "kvx/platform/port_name.h"

namespace kvx::platform {

std::string devicePathForPort(std::string_view name) {
    // Paths are used as they are; every other name is a device of the device namespace, which
    // is also the only way to reach COM10 and above.
    if (name.find('\\') != std::string_view::npos || name.find('/') != std::string_view::npos) {
        return std::string(name);
    }
    return "\\\\.\\" + std::string(name);
}

}  // namespace kvx::platform
