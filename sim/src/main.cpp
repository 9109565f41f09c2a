// kxbus-sim: plays bus members on a pseudo-terminal until it is told to stop.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "kvx/platform/termination.h"
#include "kvx/sim/scenario.h"
#include "kvx/sim/simulator.h"

namespace {

constexpr int kBadInput = 2;
constexpr int kFailure = 1;

struct MemberArg {
    int address = 0;
    std::filesystem::path cfg;
};

// "ADDR=FILE.cfg"
MemberArg parseMemberArg(const std::string& arg) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
        throw kvx::sim::SimError("--member " + arg + ": ADDR=FILE.cfg is expected");
    }
    const std::string addr = arg.substr(0, eq);
    MemberArg m;
    std::size_t used = 0;
    try {
        m.address = std::stoi(addr, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != addr.size()) {
        throw kvx::sim::SimError("--member " + arg + ": \"" + addr + "\" is not a bus address");
    }
    if (m.address < 0 || m.address > kvx::sim::kMaxBusAddress) {
        throw kvx::sim::SimError("--member " + arg + ": bus address " + addr + " is outside 0..31");
    }
    m.cfg = arg.substr(eq + 1);
    return m;
}

// Scenario changes on standard input, one JSON object per line ({"members": {"12": {"faults":
// {"silence": 1}}}}), applied while the simulator runs; "changed N" on standard output
// confirms line N. A bad line is reported and skipped.
class ChangeReader {
  public:
    explicit ChangeReader(kvx::sim::Simulator& sim, std::mutex& outMutex)
        : sim_(sim), outMutex_(outMutex) {}

    void start() {
        std::thread([this] { run(); }).detach();
    }

    // After this, no change touches the simulator (the reader may still wait for input).
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }

  private:
    void run() {
        std::string line;
        for (int number = 1; std::getline(std::cin, line); ++number) {
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            const std::string source = "standard input line " + std::to_string(number);
            std::lock_guard lock(mutex_);
            if (closed_) return;
            try {
                const auto change = kvx::sim::ParseScenario(line, source);
                for (const auto& m : change.members) {
                    if (m.cfg)
                        throw kvx::sim::SimError(source + ": members." + std::to_string(m.address) +
                                                 ".cfg: members are not replaced here");
                }
                kvx::sim::ApplyScenario(sim_, change);
                std::lock_guard outLock(outMutex_);
                std::printf("changed %d\n", number);
                std::fflush(stdout);
            } catch (const std::exception& e) {
                std::cerr << "kxbus-sim: " << e.what() << '\n';
            }
        }
    }

    kvx::sim::Simulator& sim_;
    std::mutex& outMutex_;
    std::mutex mutex_;
    bool closed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts, so that only the main thread sees termination requests.
    kvx::platform::HoldTerminationRequests();

    CLI::App app{"Bus-member simulator: answers as field-bus members on a pseudo-terminal",
                 "kxbus-sim"};
    app.set_version_flag("--version", std::string("kxbus-sim ") + KVX_VERSION);
    std::vector<std::string> memberArgs;
    std::string scenarioFile;
    std::string linkPath;
    bool noWireTiming = false;
    bool log = false;
    std::optional<std::uint64_t> seed;
    app.add_option("--member", memberArgs, "a member: bus address and device description")
        ->type_name("ADDR=FILE.cfg");
    app.add_option("--scenario", scenarioFile, "scenario file (JSON): members, memory, faults")
        ->type_name("FILE.json");
    app.add_option("--link", linkPath, "make this symbolic link to the device (removed at exit)")
        ->type_name("PATH");
    app.add_flag("--no-wire-timing", noWireTiming, "answer at once instead of at 19200 baud");
    app.add_option("--seed", seed, "seed of the fault generator (overrides the scenario's)");
    app.add_flag("--log", log, "print one line per exchange (hex)");
    bool logTime = false;
    app.add_flag("--log-time", logTime,
                 "end each --log line with the wall-clock time the request was served "
                 "(ms since 1970)");
    bool changes = false;
    app.add_flag("--changes", changes,
                 "apply scenario changes read from standard input, one JSON object per line");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kBadInput;
    }

    std::unique_ptr<kvx::sim::Simulator> sim;
    try {
        std::map<int, std::filesystem::path> cliMembers;
        std::vector<MemberArg> members;
        for (const auto& a : memberArgs) {
            MemberArg m = parseMemberArg(a);
            if (cliMembers.count(m.address)) {
                throw kvx::sim::SimError("--member " + a + ": bus address " +
                                         std::to_string(m.address) + " is given twice");
            }
            cliMembers[m.address] = m.cfg;
            members.push_back(m);
        }
        std::optional<kvx::sim::Scenario> scenario;
        if (!scenarioFile.empty()) {
            scenario = kvx::sim::LoadScenario(scenarioFile);
            for (const auto& m : scenario->members) {
                if (m.cfg && cliMembers.count(m.address)) {
                    throw kvx::sim::SimError(
                        scenarioFile + ": members." + std::to_string(m.address) +
                        ": bus address also given with --member; give its cfg once");
                }
            }
        }

        sim = std::make_unique<kvx::sim::Simulator>(kvx::sim::SimulatorOptions{!noWireTiming, 1});
        std::vector<std::string> warnings;
        for (const auto& m : members) {
            auto info = sim->addMemberFromCfg(m.address, m.cfg);
            for (auto& w : info.warnings) warnings.push_back(std::move(w));
        }
        if (scenario) {
            for (auto& w : kvx::sim::ApplyScenario(*sim, *scenario))
                warnings.push_back(std::move(w));
            if (noWireTiming) sim->setWireTiming(false);  // the command line has the last word
        }
        if (seed) sim->setSeed(*seed);
        for (const auto& w : warnings) std::cerr << "kxbus-sim: warning: " << w << '\n';
        if (sim->memberAddresses().empty()) {
            std::cerr << "kxbus-sim: warning: no members; nothing will answer\n";
        }
    } catch (const kvx::sim::SimError& e) {
        std::cerr << "kxbus-sim: " << e.what() << '\n';
        return kBadInput;
    }

    bool linked = false;
    if (!linkPath.empty()) {
        std::error_code ec;
        const auto status = std::filesystem::symlink_status(linkPath, ec);
        if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
            std::cerr << "kxbus-sim: --link " << linkPath
                      << ": exists and is not a symbolic link; left alone\n";
            return kBadInput;
        }
        std::filesystem::remove(linkPath, ec);
        std::filesystem::create_symlink(sim->devicePath(), linkPath, ec);
        if (ec) {
            std::cerr << "kxbus-sim: --link " << linkPath << ": " << ec.message() << '\n';
            return kFailure;
        }
        linked = true;
    }

    // The link exists before the device line, so a script may use either once it sees it.
    std::printf("pty %s\n", sim->devicePath().c_str());
    std::fflush(stdout);

    std::mutex outMutex;
    if (log) {
        sim->setLog([&outMutex, logTime](const std::string& line) {
            // Taken before the answer leaves, so a master's record of the exchange comes later.
            const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            std::lock_guard lock(outMutex);
            if (logTime) {
                std::printf("%s | at %lld.%03lld\n", line.c_str(),
                            static_cast<long long>(now.count() / 1000),
                            static_cast<long long>(now.count() % 1000));
            } else {
                std::printf("%s\n", line.c_str());
            }
            std::fflush(stdout);
        });
    }
    sim->start();
    // Never freed: the detached reader thread may still wait for a line when main returns.
    static ChangeReader* changeReader = nullptr;
    if (changes) {
        changeReader = new ChangeReader(*sim, outMutex);
        changeReader->start();
    }

    std::string why;
    while (!kvx::platform::WaitForTerminationRequest(std::chrono::seconds(1), why)) {
    }
    if (changeReader != nullptr) changeReader->close();
    sim->stop();
    if (linked) {
        // Only our own link goes; someone may have pointed it elsewhere meanwhile.
        std::error_code ec;
        if (std::filesystem::read_symlink(linkPath, ec) == sim->devicePath()) {
            std::filesystem::remove(linkPath, ec);
        }
    }
    std::cerr << "kxbus-sim: stopped (" << why << ")\n";
    return 0;
}
