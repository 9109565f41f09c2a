// Block read of 64 bytes against a simulated member with wire timing. The read must end when
// the last byte of the answer arrives, not at the 20 ms interval time-out, so the measured time
// should be the pure exchange time: (10 + 64 + 11) bytes x 0.5729 ms plus the turnaround.
//
//   bench_bus_read [reads] [turnaround_us]

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "kvx/bus/bus_link.h"
#include "kvx/sim/simulator.h"

int main(int argc, char** argv) {
    const int reads = argc > 1 ? std::atoi(argv[1]) : 50;
    const int turnaroundUs = argc > 2 ? std::atoi(argv[2]) : 2000;
    constexpr int kBytes = 64;
    constexpr int kAddress = 5;

    kvx::sim::Simulator sim;
    std::vector<std::uint8_t> memory(256);
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
    sim.addMember(kAddress, memory);
    sim.setTurnaround(kAddress, std::chrono::microseconds(turnaroundUs));
    sim.start();

    kvx::bus::BusLink link;
    link.setPortName(sim.devicePath());
    std::array<std::uint8_t, 256> dest{};

    std::vector<double> ms;
    int failed = 0;
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
    if (ms.empty()) {
        fmt::print("no complete answer in {} reads\n", reads);
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    const double expected = (10 + kBytes + 11) * (11000.0 / 19200.0) + turnaroundUs / 1000.0;
    const double median = ms[ms.size() / 2];
    const double p90 = ms[ms.size() * 9 / 10];
    fmt::print("block read of {} bytes, turnaround {} us, {} reads ({} failed)\n", kBytes,
               turnaroundUs, reads, failed);
    fmt::print("expected exchange time {:.3f} ms\n", expected);
    fmt::print("measured median {:.3f} ms, p90 {:.3f} ms, min {:.3f} ms\n", median, p90, ms.front());
    fmt::print("ratio median/expected {:.4f} (target <= 1.02)\n", median / expected);
    return failed == 0 ? 0 : 1;
}
