// Poll cycle as a host runs it: the plug-in loaded as a shared library and started through its
// exports, 8 members on the simulator with wire timing; six read one block of 64 bytes, two a
// second block of 32 bytes. The cycle time (between two polls of the same member) against the
// pacing from first principles: 32 x 10 ms before the addresses, the cycle pause WAIT, 50 ms
// per member, and per block its exchange time and 20 ms. An exchange of n data bytes takes
// (10 + n + 11) characters of 11 bit times at 19200 baud plus the members' turnaround.
// Three runs: WAIT=0, WAIT left out of the INI file (its default, 1000 ms), and WAIT=0 again
// with 8 host threads that wait for every poll through the plug-in's extension and read the
// polled member's status, as the gateway does: the cycle must stay the formula's (<= 1.02).
//
//   bench_driver_poll_cycle [cycles] [turnaround_us] [--rounds N] [--tolerance T]

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
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
    std::uint64_t wakeUps = 0;  // of the waiting host threads
};

// Host threads that wait for each poll and then read the status of every member polled
// meanwhile, until destroyed.
class PollWaiters {
  public:
    PollWaiters(kvx::bench::PluginExports& plugin, int count) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, &plugin] {
                std::uint64_t seen = 0;
                while (!stop_.load()) {
                    const std::uint64_t now = plugin.waitForPoll(seen, 100);
                    if (now == seen) continue;
                    for (int address : kAddresses) {
                        FenloMemberStatus status{};
                        status.size = sizeof status;
                        plugin.memberStatus(static_cast<std::uint32_t>(address), &status);
                    }
                    seen = now;
                    ++wakeUps_;
                }
            });
        }
    }
    ~PollWaiters() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }
    std::uint64_t wakeUps() const { return wakeUps_.load(); }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> wakeUps_{0};
    std::vector<std::thread> threads_;
};

// Starts the plug-in with `waitMs` (< 0: the default), lets it poll `cycles` full cycles after
// a settling pass and returns the cycle times of the first member and the members accepted.
Run PollCycles(kvx::bench::PluginExports& plugin, kvx::sim::Simulator& sim,
               kvx::testing::ScratchDir& dir, int waitMs, int cycles, double formulaMs,
               int waiters) {
    std::vector<int> members(std::begin(kAddresses), std::end(kAddresses));
    std::vector<std::string> cfgs;
    for (int address : members) cfgs.push_back(TwoBlocks(address) ? "two.cfg" : "one.cfg");
    dir.write("fenlodrv.ini", kvx::bench::InstallationIni(sim.devicePath(), members, cfgs, waitMs));
    kvx::testing::CallbackRecorder recorder;
    plugin.initializeAndBrowse();
    sim.clearFrames();
    Run run;
    {
        std::optional<PollWaiters> hosts;
        if (waiters > 0) hosts.emplace(plugin, waiters);
        plugin.start();
        sim.waitForFrames(kAddresses[0], static_cast<std::size_t>(cycles + 2),
                          std::chrono::milliseconds(
                              static_cast<int>((cycles + 3) * formulaMs * 1.5)));
        if (hosts) run.wakeUps = hosts->wakeUps();
    }
    const int first = kAddresses[0];
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

    if (plugin.waitForPoll == nullptr || plugin.memberStatus == nullptr) {
        verdict.nothingMeasured("the plug-in exports no FenloWaitForPoll / FenloGetMemberStatus");
        return verdict.exitCode();
    }
    constexpr int kWaiters = 8;
    struct Case {
        int waitMs;
        int waiters;
        double target;
    };
    for (const Case c : {Case{0, 0, 1.03}, Case{-1, 0, 1.03}, Case{0, kWaiters, 1.02}}) {
        const int waitMs = c.waitMs;
        const int pause = waitMs < 0 ? kDefaultWaitMs : waitMs;
        const double formulaMs = FormulaMs(pause, turnaroundUs);
        std::string label =
            waitMs < 0 ? fmt::format("WAIT default ({} ms)", pause) : fmt::format("WAIT={}", pause);
        if (c.waiters > 0) label += fmt::format(", {} hosts waiting for polls", c.waiters);
        std::vector<double> medians;
        for (int round = 0; round < options.rounds; ++round) {
            Run run = PollCycles(plugin, sim, dir, waitMs, cycles, formulaMs, c.waiters);
            // Each waiter wakes about once per member poll: far fewer wake-ups mean the waits
            // never ran beside the polls.
            const bool waited = c.waiters == 0 || run.wakeUps >= static_cast<std::uint64_t>(
                                                                     c.waiters * cycles * 8 / 2);
            if (run.cycleMs.empty() || run.accepted != 8 || !waited) {
                verdict.nothingMeasured(
                    fmt::format("{}: {} cycles measured, {} of 8 members accepted, {} wake-ups",
                                label, run.cycleMs.size(), run.accepted, run.wakeUps));
                return verdict.exitCode();
            }
            std::sort(run.cycleMs.begin(), run.cycleMs.end());
            medians.push_back(kvx::bench::Median(run.cycleMs));
            fmt::print("{}, round {}: {} cycles, median {:.1f} ms (min {:.1f}, max {:.1f}){}\n",
                       label, round + 1, run.cycleMs.size(), medians.back(), run.cycleMs.front(),
                       run.cycleMs.back(),
                       c.waiters > 0 ? fmt::format(", {} wake-ups", run.wakeUps) : "");
        }
        const double ratio = kvx::bench::Median(medians) / formulaMs;
        fmt::print("{}: formula {:.1f} ms, measured {:.1f} ms\n", label, formulaMs,
                   kvx::bench::Median(medians));
        verdict.atMost(fmt::format("{}: ratio median/formula", label), ratio, c.target);
        verdict.atLeast(fmt::format("{}: ratio median/formula", label), ratio, 0.99,
                        /*exact=*/true);
    }
    return verdict.exitCode();
}
