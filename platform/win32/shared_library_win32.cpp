#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "kvx/platform/shared_library.h"

namespace kvx::platform {

bool SharedLibrary::open(const std::filesystem::path& file, std::string& error) {
    close();
    // A full path keeps LoadLibrary from searching the system's directories.
    const std::filesystem::path full = std::filesystem::absolute(file);
    handle_ = ::LoadLibraryW(full.wstring().c_str());
    if (handle_ == nullptr) {
        error = "cannot be loaded (system error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    error.clear();
    return true;
}

void* SharedLibrary::symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void SharedLibrary::close() {
    if (handle_ != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
}

std::filesystem::path CurrentExecutablePath() {
    wchar_t buffer[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer, 32768);
    if (n == 0 || n >= 32768) return {};
    return std::filesystem::path(std::wstring(buffer, n));
}

void PinOwnModule() {
    // The module that holds this function; pinned, it stays until the process ends.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&PinOwnModule), &self);
}

}  // namespace kvx::platform
