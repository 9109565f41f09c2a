// The poll cycle of healthy members while hosts keep writing a member that has fallen silent:
// the plug-in loaded through its exports, 8 healthy members and one silent one on the
// simulator with wire timing, WAIT=0, and 8 host threads each writing the silent member every
// 100 ms. The cycle time of a healthy member against the pacing from first principles: 32 x
// 10 ms before the addresses, 50 ms per configured member, per exchange of n data bytes
// (10 + n + 11) characters of 11 bit times at 19200 baud plus the turnaround and the 20 ms
// pause after the block; the silent member costs its 500 ms answer time-out and the 20 ms of
// quiet line after it instead of an exchange. Writes to a silent member may at most double
// that cycle.
//
//   bench_driver_silent_writers [cycles] [--rounds N] [--tolerance T]

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_verdict.h"
#include "kvx/sim/simulator.h"
#include "plugin_exports.h"

namespace {

constexpr int kHealthy[] = {1, 4, 7, 10, 13, 20, 25, 30};
constexpr int kSilent = 16;
constexpr int kWriters = 8;
constexpr int kTurnaroundUs = 2000;
constexpr int kBlockBytes = 64;

const char* const kDescription =
    "fetch1\tdesadr=0\tbytes=64\t\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\t\n"
    "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n";

double FormulaMs() {
    const double exchange =
        (10 + kBlockBytes + 11) * kvx::bench::kByteMs + kTurnaroundUs / 1000.0 + 20.0;
    const double silent = 500.0 + 20.0 + 20.0;
    return 32 * 10.0 + (std::size(kHealthy) + 1) * 50.0 + std::size(kHealthy) * exchange + silent;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = kvx::bench::ParseOptions(argc, argv);
    const int cycles = static_cast<int>(options.number(0, 6));
    kvx::bench::Verdict verdict(options.tolerance);

    kvx::sim::Simulator sim;  // wire timing on
    std::vector<int> members(std::begin(kHealthy), std::end(kHealthy));
    members.push_back(kSilent);
    for (int address : members) {
        std::vector<std::uint8_t> memory(256);
        std::memcpy(memory.data(), "KX-100", 6);
        sim.addMember(address, memory);
        sim.setTurnaround(address, std::chrono::microseconds(kTurnaroundUs));
    }
    kvx::sim::Faults silent;
    silent.silence = 1.0;
    sim.setFaults(kSilent, silent);
    sim.start();
    kvx::testing::ScratchDir dir;
    kvx::testing::UseInstallDir(dir.path());
    dir.write("pump.cfg", kDescription);
    dir.write("fenlodrv.ini",
              kvx::bench::InstallationIni(sim.devicePath(), members,
                                          std::vector<std::string>(members.size(), "pump.cfg"), 0));
    kvx::bench::PluginExports plugin;
    const double formulaMs = FormulaMs();

    std::vector<double> medians;
    std::size_t writes = 0;
    for (int round = 0; round < options.rounds; ++round) {
        kvx::testing::CallbackRecorder recorder;
        plugin.initializeAndBrowse();
        const auto* target = recorder.tag(fmt::format("ADR{:02d}.Count", kSilent));
        if (target == nullptr) {
            verdict.nothingMeasured("the silent member's tag was not registered");
            return verdict.exitCode();
        }
        sim.clearFrames();
        plugin.start();
        std::atomic<bool> done{false};
        std::atomic<std::size_t> written{0};
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                std::int16_t value = static_cast<std::int16_t>(w);
                while (!done.load()) {
                    auto batch = kvx::bench::ReadBatch({*target}, 0, 1);
                    batch[0].value.vt = VT_I2;
                    batch[0].value.value.iVal = value++;
                    plugin.handle(SOXPS_WRITE, 1, batch.data());
                    written.fetch_add(1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
        }
        const int first = kHealthy[0];
        sim.waitForFrames(
            first, static_cast<std::size_t>(cycles + 2),
            std::chrono::milliseconds(static_cast<int>((cycles + 3) * formulaMs * 3)));
        done = true;
        for (std::thread& writer : writers) writer.join();
        plugin.stop();
        writes += written.load();

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
        if (cycleMs.size() < 2) {
            verdict.nothingMeasured(
                fmt::format("round {}: {} cycles measured", round + 1, cycleMs.size()));
            return verdict.exitCode();
        }
        std::sort(cycleMs.begin(), cycleMs.end());
        medians.push_back(kvx::bench::Median(cycleMs));
        fmt::print("round {}: {} cycles, median {:.1f} ms (min {:.1f}, max {:.1f})\n", round + 1,
                   cycleMs.size(), medians.back(), cycleMs.front(), cycleMs.back());
    }
    const double ratio = kvx::bench::Median(medians) / formulaMs;
    fmt::print("{} writers to a silent member, {} writes: formula {:.1f} ms, measured {:.1f} ms\n",
               kWriters, writes, formulaMs, kvx::bench::Median(medians));
    verdict.atMost("healthy members' cycle under writes to a silent member: ratio median/formula",
                   ratio, 2.0);
    return verdict.exitCode();
}
