#include "kvx/platform/port_name.h"

namespace kvx::platform {

bool isAcceptablePortName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxPortNameLength &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace kvx::platform
