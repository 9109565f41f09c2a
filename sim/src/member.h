#pragma once
// One simulated member: its memory, timing, faults and the answer it gives to a read.

#include <array>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "frame_scanner.h"
#include "kvx/sim/simulator.h"

namespace kvx::sim::detail {

struct Member {
    std::array<std::uint8_t, kMemorySize> memory{};
    std::chrono::microseconds turnaround{0};
    Faults faults;
    std::vector<IdentityRegion> identity;
    bool writeLock = false;
    std::mt19937_64 rng;

    // A locked member takes only the unlock write (to data address 2) until the password
    // state at memory 2..3 holds two non-zero bytes.
    bool refusesWrite(std::uint8_t dataAddress) const {
        return writeLock && dataAddress != kUnlockAddress &&
               (memory[kUnlockAddress] == 0 || memory[kUnlockAddress + 1] == 0);
    }
};

// Which of the answer-shaping faults struck this exchange.
struct AnswerFaults {
    bool shortAnswer = false;
    bool longAnswer = false;
    bool twoPreamble = false;
    bool wrongEnd = false;
    bool garbled = false;
    bool wrongIdentity = false;
};

// The long frame that answers the read `frame`, shaped by `faults`; the FaultBit values of
// the faults that changed something are added to `bits`. Uses the member's generator for
// the garbled positions.
std::vector<std::uint8_t> BuildAnswer(Member& member, const ScannedFrame& frame,
                                      const AnswerFaults& faults, std::uint32_t& bits);

}  // namespace kvx::sim::detail
