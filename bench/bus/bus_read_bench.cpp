// Block read of 64 bytes against a simulated member with wire timing. The read must end when
// the last byte of the answer arrives, not at the 20 ms interval time-out, so the measured time
// should be the pure exchange time. The expected time comes from the line itself: the request
// (10 bytes) and the answer (64 + 11 bytes) at 11 bit times per byte and 19200 baud, plus the
// turnaround the simulator is told. A ratio under 0.98 means that reference is wrong (the
// simulator does not pace the line as a real one does), above 1.02 that the read waits longer
// than the exchange.
//
//   bench_bus_read [reads] [turnaround_us] [--no-wire-timing] [--rounds N] [--tolerance T]
//
// --no-wire-timing runs the simulator without line pacing, to show that the lower bound
// catches a reference the simulator does not keep.

#include <fmt/format.h>

#include <array>
#include <chrono>
#include <vector>

#include "bench_verdict.h"
#include "kvx/bus/bus_link.h"
#include "kvx/sim/simulator.h"

int main(int argc, char** argv) {
    auto options = kvx::bench::ParseOptions(argc, argv);
    const bool wireTiming = !options.takeFlag("--no-wire-timing");
    const int reads = static_cast<int>(options.number(0, 50));
    const int turnaroundUs = static_cast<int>(options.number(1, 2000));
    constexpr int kBytes = 64;
    constexpr int kAddress = 5;
    const double expected = (10 + kBytes + 11) * kvx::bench::kByteMs + turnaroundUs / 1000.0;
    kvx::bench::Verdict verdict(options.tolerance);

    kvx::sim::Simulator sim(kvx::sim::SimulatorOptions{.wireTiming = wireTiming});
    std::vector<std::uint8_t> memory(256);
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
    sim.addMember(kAddress, memory);
    sim.setTurnaround(kAddress, std::chrono::microseconds(turnaroundUs));
    sim.start();

    kvx::bus::BusLink link;
    link.setPortName(sim.devicePath());
    std::array<std::uint8_t, 256> dest{};

    fmt::print("block read of {} bytes, turnaround {} us, wire timing {}, {} rounds of {} reads\n",
               kBytes, turnaroundUs, wireTiming ? "on" : "off", options.rounds, reads);
    fmt::print("expected exchange time (10 + {} + 11) x 11000/19200 ms + {} us = {:.3f} ms\n",
               kBytes, turnaroundUs, expected);
    std::vector<double> medians;
    int failed = 0;
    for (int round = 0; round < options.rounds; ++round) {
        std::vector<double> ms;
        for (int i = 0; i < reads; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const auto result = link.BusReadBlock(dest.data(), kAddress, 0x10, kBytes, 0);
            const auto end = std::chrono::steady_clock::now();
            if (result != kBytes + 11) {
                ++failed;
                continue;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
        if (ms.empty()) continue;
        std::sort(ms.begin(), ms.end());
        medians.push_back(kvx::bench::Median(ms));
        fmt::print("round {}: median {:.3f} ms, p90 {:.3f} ms, min {:.3f} ms\n", round + 1,
                   medians.back(), ms[ms.size() * 9 / 10], ms.front());
    }
    if (medians.empty()) {
        verdict.nothingMeasured(
            fmt::format("no complete answer in {} reads", reads * options.rounds));
        return verdict.exitCode();
    }
    // A healthy member always answers well inside the 500 ms total time-out; a read fails only
    // when the reader is kept off the processor that long.
    const double failedShare = static_cast<double>(failed) / (reads * options.rounds);
    verdict.atMost("share of reads without a complete answer", failedShare, 0.05);
    const double median = kvx::bench::Median(medians);
    fmt::print("median of the rounds' medians {:.3f} ms\n", median);
    verdict.atMost("ratio median/expected", median / expected, 1.02);
    verdict.atLeast("ratio median/expected", median / expected, 0.98, /*exact=*/true);
    return verdict.exitCode();
}
