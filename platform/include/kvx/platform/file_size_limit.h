#pragma once
// Caps the size of files this process may write, so that "disk full" style write failures can
// be produced on purpose (the write then fails with an error instead of a signal).

#include <cstdint>

namespace kvx::platform {

class ScopedFileSizeLimit {
  public:
    // Limits every file written by this process to `bytes` until destruction.
    explicit ScopedFileSizeLimit(std::uint64_t bytes);
    ~ScopedFileSizeLimit();
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
    bool active() const { return active_; }

  private:
    bool active_ = false;
    std::uint64_t oldSoft_ = 0;
    std::uint64_t oldHard_ = 0;
};

}  // namespace kvx::platform
