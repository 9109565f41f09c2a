// Scenario text from anywhere: parsing either succeeds or reports a SimError, and what it
// returns stays within the members' limits.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kvx/sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto s = kvx::sim::ParseScenario(text, "fuzz.json");
        for (const auto& m : s.members) {
            if (m.address < 0 || m.address > kvx::sim::kMaxBusAddress) std::abort();
            for (const auto& p : m.memory) {
                if (p.offset + p.bytes.size() > kvx::sim::kMemorySize) std::abort();
            }
        }
    } catch (const kvx::sim::SimError&) {
    }
    return 0;
}
