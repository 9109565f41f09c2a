// Empty-bus scan with a request delay of 20 ms: every address is probed three times; each
// probe's 10 characters take 10 x 11 bit times at 19200 baud to leave the line, then it waits
// its full answer timeout of 20 + 12 ms and the 20 ms of quiet line that end an exchange
// without an answer, so the scan should take 32 x 3 x (5.73 + 52) ms. The figure is
// the measured time over that ideal; the opening and closing of the port per transaction is
// the overhead it shows.
//
// A ratio under 0.98 means the probes do not wait their time-outs; above 1.02 the port
// handling costs more than it should.
//
// Usage: bench_empty_scan [runs] [--rounds N] [--tolerance T]  (a round is `runs` scans)

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "bench_verdict.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/scan_tool.h"
#include "kvx/sim/simulator.h"

namespace {

using namespace kvx::scantool;

class QuietFrontEnd final : public FrontEnd {
  public:
    int messages = 0;
    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon) override {
        ++messages;
        fmt::print(stderr, "{}: {}\n", caption, text);
    }
    bool AskYesNo(std::string_view, std::string_view) override { return true; }
    bool RunCyclesDialog(CCyclesDlg&) override { return false; }
    bool RunSaveProtocolDialog(CSaveProtocolDlg&) override { return false; }
    bool RunGenerateIniDialog(CGenerateIniDlg&) override { return false; }
    bool RunPortDialog(CSelectComPortDlg&) override { return false; }
    std::unique_ptr<ProgressView> CreateProgressView(ProgressWindow&) override { return nullptr; }
};

}  // namespace

int main(int argc, char** argv) {
    const auto options = kvx::bench::ParseOptions(argc, argv);
    const int runs = std::max(1, static_cast<int>(options.number(0, 5)));
    kvx::bench::Verdict verdict(options.tolerance);
    constexpr int kDelay = 20;
    constexpr int kQuietLine = 20;                        // ms, the interval time-out of the line
    const double probeOnLine = 10 * kvx::bench::kByteMs;  // ms
    const double ideal = 32.0 * 3 * (probeOnLine + kDelay + 12 + kQuietLine);  // ms

    std::random_device rd;
    const auto dir =
        std::filesystem::temp_directory_path() / fmt::format("kvx-scan-bench-{}", rd());
    std::filesystem::create_directories(dir);
    kvx::sim::Simulator sim;  // no members: an empty bus
    sim.start();
    std::ofstream(dir / "LINKSPY.INI")
        << "[RS232]\nCOM=" << sim.devicePath() << "\n[Timeout]\nTime=" << kDelay << "\n";
    std::ofstream(dir / "device.cfg")
        << "fetchID\tdesadr=0\tbytes=16\t\n"
           "scanID\treadoffset=0\tlength=4\tIDstr=NONE\tname=None\tend=1\n";

    QuietFrontEnd fe;
    ToolEnvironment env;
    env.currentDirectory = dir;
    env.pathVariable = std::string();
    CScanToolDlg tool(fe, env);
    tool.Start();

    std::vector<double> medians;
    for (int round = 0; round < options.rounds; ++round) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            const auto start = std::chrono::steady_clock::now();
            tool.OnScan();
            const auto end = std::chrono::steady_clock::now();
            if (!tool.lastScanCompleted() || fe.messages != 0) {
                std::filesystem::remove_all(dir);
                verdict.nothingMeasured("the scan did not complete");
                return verdict.exitCode();
            }
            times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
        std::sort(times.begin(), times.end());
        medians.push_back(kvx::bench::Median(times));
        fmt::print(
            "round {}: runs {}  ideal {:.1f} ms  min {:.1f} ms  median {:.1f} ms  max {:.1f} ms\n",
            round + 1, runs, ideal, times.front(), medians.back(), times.back());
    }
    std::filesystem::remove_all(dir);
    const double median = kvx::bench::Median(medians);
    verdict.atMost("ratio median/ideal", median / ideal, 1.02);
    verdict.atLeast("ratio median/ideal", median / ideal, 0.98, /*exact=*/true);
    return verdict.exitCode();
}
