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

}  // namespace kvx::platform
