// Answers of any shape to the plug-in's block read, played by a member on a real
// pseudo-terminal: the read never touches memory outside its receive area or the caller's
// block, and reports only the outcomes its callers know.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kvx/bus/bus_link.h"
#include "kvx/bus/frame.h"
#include "kvx/platform/pseudo_terminal.h"

namespace {

using namespace std::chrono_literals;

// The member: waits for each request frame, then sends the answer it was given.
class Member {
  public:
    Member() {
        int error = 0;
        pty_ = kvx::platform::PseudoTerminal::create(error);
        if (!pty_) std::abort();
        thread_ = std::thread([this] { run(); });
        thread_.detach();  // lives as long as the fuzzing process
    }
    const std::string& path() const { return pty_->slavePath(); }

    void arm(std::vector<std::uint8_t> answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
        armed_ = true;
        done_ = false;
        changed_.notify_all();
    }
    void waitDone() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 2s, [this] { return done_; });
        armed_ = false;
    }

  private:
    void run() {
        std::uint8_t buffer[64];
        for (;;) {
            std::vector<std::uint8_t> answer;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return armed_ && !done_; });
                answer = answer_;
            }
            std::size_t got = 0;
            const auto end = std::chrono::steady_clock::now() + 1s;
            while (got < kvx::bus::kShortFrameLength && std::chrono::steady_clock::now() < end) {
                const long n = pty_->readSome(buffer, sizeof buffer, 20ms);
                if (n > 0) got += static_cast<std::size_t>(n);
            }
            if (got >= kvx::bus::kShortFrameLength && !answer.empty()) {
                pty_->writeAll(answer.data(), answer.size());
            }
            std::lock_guard lock(mutex_);
            done_ = true;
            changed_.notify_all();
        }
    }

    std::unique_ptr<kvx::platform::PseudoTerminal> pty_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> answer_;
    bool armed_ = false;
    bool done_ = false;
};

}  // namespace

// Input: byte count asked for, a mode byte, then the answer's bytes. In most modes the answer
// is cut or padded to the complete length, so that the read ends without waiting for its
// interval time-out and the fuzzer stays fast; mode 0 sends the bytes as they are.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static Member* member = new Member();
    static kvx::bus::BusLink* link = [] {
        auto* l = new kvx::bus::BusLink();
        l->setPortName(member->path());
        return l;
    }();

    const int byteCount = data[0];
    const bool exact = (data[1] & 0x0F) != 0;
    std::vector<std::uint8_t> answer(data + 2, data + size);
    const std::size_t complete = static_cast<std::size_t>(byteCount) + kvx::bus::kLongFrameOverhead;
    if (exact) answer.resize(complete, kvx::bus::kEndChar);
    if (answer.size() > 600) answer.resize(600);

    // A guard zone behind the caller's block shows any write past it.
    std::array<std::uint8_t, 256 + 64> destination;
    destination.fill(0xA5);
    member->arm(answer);
    const std::int32_t result = link->BusReadBlock(destination.data(), 3, 0x10, byteCount, 0);
    member->waitDone();

    if (result < -1 || result > static_cast<std::int32_t>(kvx::bus::kMaxFrameLength)) std::abort();
    for (std::size_t i = static_cast<std::size_t>(byteCount); i < destination.size(); ++i) {
        if (destination[i] != 0xA5) std::abort();
    }
    return 0;
}
