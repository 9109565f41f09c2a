#pragma once
// Loading a shared library at run time and looking up its symbols (dlopen / LoadLibrary).

#include <filesystem>
#include <string>

namespace kvx::platform {

class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;

    // Loads the library with all its symbols resolved at once. On failure returns false and
    // leaves the system's reason in `error`.
    bool open(const std::filesystem::path& file, std::string& error);
    // Address of an exported symbol, or null.
    void* symbol(const char* name) const;
    bool isOpen() const { return handle_ != nullptr; }
    // Unloads the library (nothing when none is loaded).
    void close();

  private:
    void* handle_ = nullptr;
};

// Full path of the running program, empty when the system cannot tell.
std::filesystem::path CurrentExecutablePath();

// Keeps the module (shared library) that holds this code loaded until the process ends. A
// library that runs a thread of its own calls it before starting the thread: a host that
// unloads the library without stopping the thread first would otherwise pull the code from
// under it. Where libraries are not unloaded under their threads' feet, nothing happens.
void PinOwnModule();

}  // namespace kvx::platform
