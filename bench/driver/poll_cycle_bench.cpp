// Poll cycle as a host runs it: the plug-in loaded as a shared library and started through its
// exports, 8 members on the simulator with wire timing; six read one block of 64 bytes, two a
// second block of 32 bytes. The cycle time (between two polls of the same member) against the
// pacing from first principles: 32 x 10 ms before the addresses, the cycle pause WAIT, 50 ms
// per member, and per block its exchange time and 20 ms. An exchange of n data bytes takes
// (10 + n + 11) characters of 11 bit times at 19200 baud plus the members' turnaround.
// Two runs: WAIT=0 and WAIT left out of the INI file (its default, 1000 ms).
//
//   bench_driver_poll_cycle [cycles] [turnaround_us] [--rounds N] [--tolerance T]

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_verdict.h"
#include "kvx/sim/simulator.h"
#include "plugin_exports.h"

namespace {

constexpr int kAddresses[] = {1, 4, 7, 10, 13, 20, 25, 30};
constexpr int kDefaultWaitMs = 1000;

bool TwoBlocks(int address) {
    return address == 7 || address == 25;
}

const char* const kOneBlock =
    "fetch1\tdesadr=0\tbytes=64\t\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\t\n"
    "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n";
const char* const kTwoBlocks =
    "fetch1\tdesadr=0\tbytes=64\t\n"
    "fetch2\tdesadr=100\tbytes=32\t\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\t\n"
    "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n";

// The cycle time the pacing gives, in ms.
double FormulaMs(int waitMs, int turnaroundUs) {
    double ms = 32 * 10.0 + waitMs;
    for (int address : kAddresses) {
        ms += 50.0;
        for (int bytes : TwoBlocks(address) ? std::vector<int>{64, 32} : std::vector<int>{64}) {
            ms += (10 + bytes + 11) * kvx::bench::kByteMs + turnaroundUs / 1000.0 + 20.0;
        }
    }
    return ms;
}

struct Run {
    std::vector<double> cycleMs;
    int accepted = 0;
};

// Starts the plug-in with `waitMs` (< 0: the default), lets it poll `cycles` full cycles after
// a settling pass and returns the cycle times of the first member and the members accepted.
Run PollCycles(kvx::bench::PluginExports& plugin, kvx::sim::Simulator& sim,
               kvx::testing::ScratchDir& dir, int waitMs, int cycles, double formulaMs) {
    std::vector<int> members(std::begin(kAddresses), std::end(kAddresses));
    std::vector<std::string> cfgs;
    for (int address : members) cfgs.push_back(TwoBlocks(address) ? "two.cfg" : "one.cfg");
    dir.write("fenlodrv.ini", kvx::bench::InstallationIni(sim.devicePath(), members, cfgs, waitMs));
    kvx::testing::CallbackRecorder recorder;
    plugin.initializeAndBrowse();
    sim.clearFrames();
    plugin.start();
    const int first = kAddresses[0];
    sim.waitForFrames(first, static_cast<std::size_t>(cycles + 2),
                      std::chrono::milliseconds(static_cast<int>((cycles + 3) * formulaMs * 1.5)));

    Run run;
    // Accepted members read with good quality (asked before the stop, which ends it).
    for (int address : members) {
        const auto* tag = recorder.tag(fmt::format("ADR{:02d}.Count", address));
        if (tag == nullptr) continue;
        auto batch = kvx::bench::ReadBatch({*tag}, 0, 1);
        plugin.handle(SOXPS_READ, 1, batch.data());
        run.accepted += batch[0].quality == SOXPS_QUALITY_GOOD;
    }
    plugin.stop();

    kvx::platform::MonoTime previous{};
    for (const auto& frame : sim.frames()) {
        if (frame.address != first || frame.kind != kvx::sim::FrameKind::Read) continue;
        if (previous != kvx::platform::MonoTime{}) {
            run.cycleMs.push_back(
                std::chrono::duration<double, std::milli>(frame.when - previous).count());
        }
        previous = frame.when;
    }
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = kvx::bench::ParseOptions(argc, argv);
    const int cycles = static_cast<int>(options.number(0, 6));
    const int turnaroundUs = static_cast<int>(options.number(1, 2000));
    kvx::bench::Verdict verdict(options.tolerance);

    kvx::sim::Simulator sim;  // wire timing on
    for (int address : kAddresses) {
        std::vector<std::uint8_t> memory(256);
        for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
        std::memcpy(memory.data(), "KX-100", 6);
        sim.addMember(address, memory);
        sim.setTurnaround(address, std::chrono::microseconds(turnaroundUs));
    }
    sim.start();
    kvx::testing::ScratchDir dir;
    kvx::testing::UseInstallDir(dir.path());
    dir.write("one.cfg", kOneBlock);
    dir.write("two.cfg", kTwoBlocks);
    kvx::bench::PluginExports plugin;

    for (const int waitMs : {0, -1}) {
        const int pause = waitMs < 0 ? kDefaultWaitMs : waitMs;
        const double formulaMs = FormulaMs(pause, turnaroundUs);
        const std::string label =
            waitMs < 0 ? fmt::format("WAIT default ({} ms)", pause) : fmt::format("WAIT={}", pause);
        std::vector<double> medians;
        for (int round = 0; round < options.rounds; ++round) {
            Run run = PollCycles(plugin, sim, dir, waitMs, cycles, formulaMs);
            if (run.cycleMs.empty() || run.accepted != 8) {
                verdict.nothingMeasured(
                    fmt::format("{}: {} cycles measured, {} of 8 members accepted", label,
                                run.cycleMs.size(), run.accepted));
                return verdict.exitCode();
            }
            std::sort(run.cycleMs.begin(), run.cycleMs.end());
            medians.push_back(kvx::bench::Median(run.cycleMs));
            fmt::print("{}, round {}: {} cycles, median {:.1f} ms (min {:.1f}, max {:.1f})\n",
                       label, round + 1, run.cycleMs.size(), medians.back(), run.cycleMs.front(),
                       run.cycleMs.back());
        }
        const double ratio = kvx::bench::Median(medians) / formulaMs;
        fmt::print("{}: formula {:.1f} ms, measured {:.1f} ms\n", label, formulaMs,
                   kvx::bench::Median(medians));
        verdict.atMost(fmt::format("{}: ratio median/formula", label), ratio, 1.03);
        verdict.atLeast(fmt::format("{}: ratio median/formula", label), ratio, 0.99,
                        /*exact=*/true);
    }
    return verdict.exitCode();
}
