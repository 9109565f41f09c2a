#pragma once
// Scenario files (JSON): which members to play, what their memory holds, how they misbehave.
//
// {
//   "wireTiming": true, "seed": 1,
//   "members": {
//     "3": {
//       "cfg": "../devices/tempctl.cfg",          // relative to the scenario file
//       "turnaroundMs": 2,
//       "writeLock": true,                        // writes need the unlock first
//       "memory": [ {"offset": 40, "text": "ON"},
//                   {"offset": 44, "hex": "00 FA"},
//                   {"offset": 48, "type": "int", "value": -5} ],
//       "faults": { "silence": 0.01, "short": {"rate": 0.1, "bytes": 2},
//                   "long": {"rate": 0, "bytes": 1}, "twoPreamble": 0, "wrongEnd": 0,
//                   "garbled": {"rate": 0, "bytes": 1}, "wrongIdentity": 0,
//                   "delay": {"rate": 0, "ms": 100} }
//     }
//   }
// }
//
// Value types of "type": char (1 byte), int, uint (2 bytes), long, ulong (4 bytes), all most
// significant byte first; float (IEEE single, least significant byte first), float2 (IEEE
// single, most significant byte first), s5time (seconds, two bytes of time base and BCD count).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvx/sim/simulator.h"

namespace kvx::sim {

struct MemoryPatch {
    std::size_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

struct MemberSetup {
    int address = 0;
    std::optional<std::filesystem::path> cfg;  // already resolved against the file's folder
    std::optional<std::chrono::microseconds> turnaround;
    std::vector<MemoryPatch> memory;
    std::optional<Faults> faults;
    std::optional<bool> writeLock;
};

struct Scenario {
    std::filesystem::path file;
    std::optional<bool> wireTiming;
    std::optional<std::uint64_t> seed;
    std::vector<MemberSetup> members;  // in address order
};

// Parses scenario text; `file` names the source in messages and is the base of relative cfg
// paths. Throws SimError naming the file and the item at fault.
Scenario ParseScenario(std::string_view text, const std::filesystem::path& file);
// Reads and parses a scenario file; an unreadable file is a SimError too.
Scenario LoadScenario(const std::filesystem::path& file);

// Encodes one value as the scenario's "type" says; throws SimError (with `what` in the
// message) for an unknown type or a value out of range.
std::vector<std::uint8_t> EncodeValue(std::string_view type, double value, std::string_view what);

// Sets the simulator up as the scenario says: options, members (a member with a cfg is
// (re)built from it; one without is created empty unless it already exists), then memory,
// turnaround and faults. Returns warnings of the cfg members.
std::vector<std::string> ApplyScenario(Simulator& sim, const Scenario& scenario);

}  // namespace kvx::sim
