#include <dlfcn.h>

#include <system_error>

#include "kvx/platform/shared_library.h"

namespace kvx::platform {

bool SharedLibrary::open(const std::filesystem::path& file, std::string& error) {
    close();
    // A bare name would make dlopen search the system's library path instead of the file.
    std::string name = file.string();
    if (name.find('/') == std::string::npos) name = "./" + name;
    handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot be loaded";
        return false;
    }
    error.clear();
    return true;
}

void* SharedLibrary::symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return dlsym(handle_, name);
}

void SharedLibrary::close() {
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

std::filesystem::path CurrentExecutablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return path;
}

void PinOwnModule() {
    // dlclose runs the library's destructors, which stop its threads before the code goes.
}

}  // namespace kvx::platform
