#pragma once
// A bus member played by the test on the master side of a real pseudo-terminal: it waits for
// one request frame and sends back exactly the bytes the test scripted.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "kvx/platform/pseudo_terminal.h"

namespace kvx::bus::testing {

class ScriptedMember {
  public:
    explicit ScriptedMember(platform::PseudoTerminal& pty) : pty_(pty) {}
    ~ScriptedMember() { finish(); }

    // Answers the next request of `requestLength` bytes with `answer` (nothing if empty).
    // Gives up waiting for the request after `patience`.
    void answerNext(std::size_t requestLength, std::vector<std::uint8_t> answer,
                    std::chrono::milliseconds patience = std::chrono::seconds(5)) {
        finish();
        thread_ = std::thread([this, requestLength, patience, answer = std::move(answer)] {
            std::vector<std::uint8_t> request;
            const auto end = std::chrono::steady_clock::now() + patience;
            std::uint8_t buffer[512];
            while (request.size() < requestLength && std::chrono::steady_clock::now() < end) {
                long n = pty_.readSome(buffer, sizeof buffer, std::chrono::milliseconds(50));
                if (n > 0) request.insert(request.end(), buffer, buffer + n);
            }
            {
                std::lock_guard lock(mutex_);
                received_ = request;
            }
            if (!answer.empty()) pty_.writeAll(answer.data(), answer.size());
        });
    }

    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<std::uint8_t> received() {
        finish();
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    platform::PseudoTerminal& pty_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::uint8_t> received_;
};

// The answer of a member: a long frame with `preamble` leading zero bytes.
inline std::vector<std::uint8_t> answerFrame(std::uint8_t address, std::uint8_t dataAddress,
                                             const std::vector<std::uint8_t>& data,
                                             std::size_t preamble = 3, std::uint8_t end = 0x16) {
    const auto n = static_cast<std::uint8_t>(data.size());
    const std::uint8_t header[] = {
        0x68, address, dataAddress,
        0x00, n,       static_cast<std::uint8_t>(0x68 + address + dataAddress + n)};
    // Sized once and filled by push_back: GCC 12 at -O3 reports -Warray-bounds falsely on a
    // vector insert that grows a short vector.
    std::vector<std::uint8_t> frame;
    frame.reserve(preamble + sizeof header + data.size() + 2);
    frame.resize(preamble, 0x00);
    for (auto b : header) frame.push_back(b);
    std::uint8_t sum = 0;
    for (auto b : data) {
        frame.push_back(b);
        sum = static_cast<std::uint8_t>(sum + b);
    }
    frame.push_back(sum);
    frame.push_back(end);
    return frame;
}

}  // namespace kvx::bus::testing
