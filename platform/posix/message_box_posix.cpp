#include "kvx/platform/message_box.h"

namespace kvx::platform {

bool ShowMessageBoxAsync(std::string_view, std::string_view) {
    // No desktop message box: the callers' other channels (standard error, system log) stand.
    return false;
}

}  // namespace kvx::platform
