// Poll cycle: 8 members on the simulator with wire timing and WAIT=0. The measured cycle time
// (between two polls of the same member) against the pacing of the cycle: 32 x 10 ms, plus
// 50 ms per member, plus per block its exchange time and 20 ms.
//
//   bench_driver_poll_cycle [cycles] [turnaround_us]

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kvx/sim/simulator.h"
#include "runtime.h"

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 6;
    const int turnaroundUs = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int addresses[] = {1, 4, 7, 10, 13, 20, 25, 30};
    // Two members read two blocks, the others one: 10 blocks per cycle.
    auto blocksOf = [](int address) {
        return address == 7 || address == 25 ? std::vector<int>{64, 32} : std::vector<int>{64};
    };

    kvx::sim::Simulator sim;  // wire timing on
    auto state = std::make_unique<kvx::driver::DriverState>();
    double formulaMs = 32 * 10.0;
    for (int address : addresses) {
        std::vector<std::uint8_t> memory(256);
        for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
        std::copy_n("KX-100", 6, memory.begin());
        sim.addMember(address, memory);
        sim.setTurnaround(address, std::chrono::microseconds(turnaroundUs));
        auto& member = state->members[static_cast<std::size_t>(address)];
        const auto blocks = blocksOf(address);
        formulaMs += 50.0;
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            member.fetchAddress[b] = static_cast<std::uint8_t>(b == 0 ? 0 : 100);
            member.fetchLength[b] = static_cast<std::uint8_t>(blocks[b]);
            const double exchangeMs =
                (10 + blocks[b] + 11) *
                    std::chrono::duration<double, std::milli>(kvx::sim::kByteTime).count() +
                turnaroundUs / 1000.0;
            formulaMs += exchangeMs + 20.0;
        }
        member.idCount = 1;
        member.ids[0] = kvx::config::ScanIdEntry{0, 6, "KX-100", "Pump"};
    }
    sim.start();
    state->bus.setPortName(sim.devicePath());
    state->cyclePauseMs = 0;

    kvx::driver::PollingThread thread(*state);
    thread.start();
    const int first = addresses[0];
    // One pass to settle (the first pass starts at address 1), then `cycles` full cycles.
    sim.waitForFrames(first, static_cast<std::size_t>(cycles + 2),
                      std::chrono::milliseconds(static_cast<int>((cycles + 3) * formulaMs * 1.5)));
    // Counted before the stop, which leaves every error counter at 10.
    int accepted = 0;
    for (int address : addresses)
        accepted += state->members[static_cast<std::size_t>(address)].errorCounter == 0;
    thread.stop();

    std::vector<double> cycleMs;
    kvx::platform::MonoTime previous{};
    for (const auto& frame : sim.frames()) {
        if (frame.address != first || frame.kind != kvx::sim::FrameKind::Read) continue;
        if (previous != kvx::platform::MonoTime{}) {
            cycleMs.push_back(
                std::chrono::duration<double, std::milli>(frame.when - previous).count());
        }
        previous = frame.when;
    }
    if (cycleMs.empty() || accepted != 8) {
        fmt::print("not enough cycles measured ({}), {} of 8 members accepted\n", cycleMs.size(),
                   accepted);
        return 1;
    }
    std::sort(cycleMs.begin(), cycleMs.end());
    const double median = cycleMs[cycleMs.size() / 2];
    fmt::print("8 members, 10 blocks, wire timing, turnaround {} us, WAIT=0, {} cycles\n",
               turnaroundUs, cycleMs.size());
    fmt::print("formula {:.1f} ms; measured median {:.1f} ms (min {:.1f}, max {:.1f})\n", formulaMs,
               median, cycleMs.front(), cycleMs.back());
    fmt::print("ratio median/formula {:.4f} (target 0.99 .. 1.03)\n", median / formulaMs);
    return 0;
}
