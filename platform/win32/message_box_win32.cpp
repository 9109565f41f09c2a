#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "kvx/platform/message_box.h"

namespace kvx::platform {

namespace {

void showBox(const std::string& caption, const std::string& text) {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(),
                  MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

MessageQueue* messageThread() {
    // A box may still be open when the host unloads the module that showed it: the module
    // stays loaded until the process ends, so the thread never runs unmapped code. The queue
    // is never destroyed for the same reason.
    static MessageQueue* queue = [] {
        HMODULE self = nullptr;
        ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCSTR>(&showBox), &self);
        return new MessageQueue(showBox, 16);
    }();
    return queue;
}

}  // namespace

bool ShowMessageBoxAsync(std::string_view caption, std::string_view text) {
    return messageThread()->post(caption, text);
}

}  // namespace kvx::platform
