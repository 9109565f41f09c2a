// fenlo-host: loads the driver plug-in through its five entry points, as an OPC server host
// does, and lets people and scripts browse, read, write and watch its items and see the
// health of the bus.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "kvx/platform/console.h"
#include "plugin_loader.h"
#include "session.h"
#include "values.h"

namespace {

using kvx::host::LoadedPlugin;
using kvx::host::Session;

constexpr int kExitFailure = 2;

std::string guidText(const SOXpSGuid& g) {
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                       g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                       g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

std::string textOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

bool allZero(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

int describe(const LoadedPlugin& plugin) {
    const SOXpSServerDescription* d = plugin.entry().initialize(0, 0, 0);
    if (d == nullptr) {
        std::cerr << "fenlo-host: the plug-in returned no server description\n";
        return kExitFailure;
    }
    nlohmann::json j;
    j["clsid"] = guidText(d->clsid);
    j["progId"] = textOrEmpty(d->progId);
    j["versionIndependentProgId"] = textOrEmpty(d->versionIndependentProgId);
    j["description"] = textOrEmpty(d->description);
    j["vendor"] = textOrEmpty(d->vendor);
    j["versionText"] = textOrEmpty(d->versionText);
    // The numbers by their offsets in the 32-bit record (copied out: the record is packed).
    const std::uint32_t n10000 = d->value10000, n1 = d->value1, n101 = d->value101;
    const std::uint32_t n4096a = d->value4096a, n4096b = d->value4096b;
    const std::uint16_t n2 = d->value2, n10 = d->value10, n16 = d->value16;
    j["numbers"] = {{"28", n10000}, {"60", n2},   {"62", n10},     {"64", n16},
                    {"70", n1},     {"78", n101}, {"108", n4096a}, {"112", n4096b}};
    j["reservedZero"] =
        allZero(d->reserved1, sizeof(d->reserved1)) && allZero(d->reserved2, sizeof(d->reserved2));
    std::cout << j.dump() << std::endl;
    return 0;
}

int browse(const LoadedPlugin& plugin) {
    Session session(plugin.entry(), std::cout, std::cerr);
    session.open(false);
    std::cout << session.tree().listing() << std::flush;
    session.close();
    return 0;
}

int runSession(const LoadedPlugin& plugin) {
    Session session(plugin.entry(), std::cout, std::cerr);
    session.open(true);
    session.run(std::cin);
    session.close();
    return session.failed() ? kExitFailure : 0;
}

int read(const LoadedPlugin& plugin, const std::vector<std::string>& items, int waitGoodMs) {
    Session session(plugin.entry(), std::cout, std::cerr);
    session.open(true);
    bool timedOut = false;
    if (waitGoodMs >= 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitGoodMs);
        for (const std::string& item : items) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            nlohmann::json result;
            if (!session.wait(item, true, std::max(left, std::chrono::milliseconds(0)), result)) {
                return kExitFailure;
            }
            if (result.contains("timeout")) timedOut = true;
        }
    }
    std::vector<kvx::host::ReadResult> results;
    if (!session.read(items, results)) return kExitFailure;
    for (const auto& result : results) std::cout << result.toJson().dump() << '\n';
    std::cout.flush();
    session.close();
    return timedOut ? 1 : 0;
}

int write(const LoadedPlugin& plugin, const std::vector<std::string>& assignments) {
    Session session(plugin.entry(), std::cout, std::cerr);
    session.open(true);
    nlohmann::json result;
    bool complete = false;
    if (!session.write(assignments, result, complete)) return kExitFailure;
    std::cout << result.dump() << std::endl;
    session.close();
    // A value that did not reach its member is no success.
    return complete ? 0 : kExitFailure;
}

// The bus address of an item path ("ADR05.Values.Count" -> 5); -1 for another path.
int ItemAddress(const std::string& item) {
    if (item.size() < 5 || item.compare(0, 3, "ADR") != 0) return -1;
    if (!std::isdigit(static_cast<unsigned char>(item[3])) ||
        !std::isdigit(static_cast<unsigned char>(item[4]))) {
        return -1;
    }
    const int address = (item[3] - '0') * 10 + (item[4] - '0');
    return address < 32 ? address : -1;
}

int watch(const LoadedPlugin& plugin, const std::vector<std::string>& items, int intervalMs,
          int count) {
    Session session(plugin.entry(), std::cout, std::cerr);
    session.open(true);
    const bool terminal = kvx::platform::IsTerminal(kvx::platform::StandardStream::Output);
    std::size_t width = 4;
    for (const std::string& item : items) width = std::max(width, item.size());
    for (int round = 0; count <= 0 || round < count; ++round) {
        if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        std::vector<kvx::host::ReadResult> results;
        if (!session.read(items, results)) return kExitFailure;
        std::string table;
        if (terminal) table += "\x1b[H\x1b[J";
        const kvx::host::PluginExtension& ext = plugin.extension();
        table += fmt::format("{:<{}}  {:<24}  {:<8}  {:<7}  {:<24}  {}\n", "ITEM", width, "VALUE",
                             "TYPE", "QUALITY", "TIME", ext.present() ? "POLLED" : "");
        for (const auto& r : results) {
            const std::string value =
                r.value.is_string() ? r.value.get<std::string>() : r.value.dump();
            // The time of the poll that brought the value, where the plug-in tells it.
            std::string polled;
            FenloMemberStatus m{};
            m.size = sizeof(m);
            const int address = ItemAddress(r.item);
            if (ext.present() && address >= 0 &&
                ext.memberStatus(static_cast<std::uint32_t>(address), &m) == 1) {
                polled = kvx::host::FileTimeToText(m.lastGoodPoll);
            }
            table += fmt::format("{:<{}}  {:<24}  {:<8}  {:<7}  {:<24}  {}\n", r.item, width, value,
                                 kvx::host::VarTypeName(r.vt),
                                 r.quality == SOXPS_QUALITY_GOOD ? "good" : "bad", r.time, polled);
        }
        if (!terminal) table += "\n";
        std::cout << table << std::flush;
    }
    session.close();
    return 0;
}

// A member's state as the health figures give it: good while its last poll was accepted,
// uncertain while its values are still served from an earlier accepted poll, bad from the
// tenth failed poll on.
const char* MemberState(const FenloMemberStatus& m) {
    if (m.errorCounter == 0) return "good";
    return m.errorCounter < 10 ? "uncertain" : "bad";
}

// One line per configured member and one for the bus, after the polling thread has had
// `settleMs` to poll (a full pass at least, unless the time runs out).
int status(const LoadedPlugin& plugin, int settleMs, bool json) {
    const kvx::host::PluginExtension& ext = plugin.extension();
    if (!ext.present()) {
        std::cerr << "fenlo-host: the plug-in has no health figures (no extension)\n";
        return kExitFailure;
    }
    Session session(plugin.entry(), std::cout, std::cerr);
    session.open(true);
    FenloBusStatus bus{};
    bus.size = sizeof(bus);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settleMs);
    std::uint64_t seen = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        ext.busStatus(&bus);
        if (bus.cycles >= 1) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        seen =
            ext.waitForPoll(seen, static_cast<std::uint32_t>(std::max<long long>(left.count(), 1)));
    }
    ext.busStatus(&bus);
    nlohmann::json members = nlohmann::json::array();
    std::string table = fmt::format("{:<5}  {:<9}  {:>6}  {:<24}  {:>9}  {:>7}  {:>5}  {:>8}  {}\n",
                                    "ADDR", "STATE", "ERRORS", "LAST GOOD POLL", "ACCEPTED",
                                    "FAILED", "AFTER", "POLL ms", "WRITES ok/refused/lost");
    for (std::uint32_t address = 0; address < 32; ++address) {
        FenloMemberStatus m{};
        m.size = sizeof(m);
        if (ext.memberStatus(address, &m) != 1 || m.configured != 1) continue;
        const std::string polled = kvx::host::FileTimeToText(m.lastGoodPoll);
        members.push_back({{"address", address},
                           {"state", MemberState(m)},
                           {"errorCounter", m.errorCounter},
                           {"lastGoodPoll", polled},
                           {"pollsAccepted", m.pollsAccepted},
                           {"pollsFailed", m.pollsFailed},
                           {"consecutiveFailures", m.consecutiveFailures},
                           {"lastPollMs", m.lastPollMicros / 1000.0},
                           {"writesAcknowledged", m.writesAcknowledged},
                           {"writesRefused", m.writesRefused},
                           {"writesUnacknowledged", m.writesUnacknowledged}});
        table +=
            fmt::format("{:<5}  {:<9}  {:>6}  {:<24}  {:>9}  {:>7}  {:>5}  {:>8.1f}  {}/{}/{}\n",
                        fmt::format("{:02d}", address), MemberState(m), m.errorCounter,
                        polled.empty() ? "-" : polled, m.pollsAccepted, m.pollsFailed,
                        m.consecutiveFailures, m.lastPollMicros / 1000.0, m.writesAcknowledged,
                        m.writesRefused, m.writesUnacknowledged);
    }
    session.close();
    if (json) {
        std::cout << nlohmann::json{{"bus",
                                     {{"port", bus.port},
                                      {"lastCycleMs", bus.lastCycleMicros / 1000.0},
                                      {"meanCycleMs", bus.meanCycleMicros / 1000.0},
                                      {"cycles", bus.cycles},
                                      {"exchanges", bus.exchanges},
                                      {"failedExchanges", bus.failedExchanges},
                                      {"portOpenFailures", bus.portOpenFailures}}},
                                    {"members", members}}
                         .dump()
                  << std::endl;
    } else {
        std::cout << fmt::format(
                         "bus {}: cycle {:.1f} ms (mean {:.1f} ms), {} exchanges, {} "
                         "failed, port not openable {} times\n",
                         bus.port, bus.lastCycleMicros / 1000.0, bus.meanCycleMicros / 1000.0,
                         bus.exchanges, bus.failedExchanges, bus.portOpenFailures)
                  << table << std::flush;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const kvx::platform::Utf8Console utf8;  // texts are UTF-8, also in a Windows console
    CLI::App app{
        "fenlo-host: loads the fenlodrv plug-in through its entry points and serves its "
        "items"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("fenlo-host ") + KVX_VERSION);
    std::string pluginPath;
    app.add_option("--plugin", pluginPath,
                   "plug-in library (default: the one beside this program)");

    auto* describeCmd = app.add_subcommand("describe", "print the server description as JSON");
    auto* browseCmd = app.add_subcommand("browse", "print every namespace callback in order");
    auto* sessionCmd = app.add_subcommand(
        "session", "read commands from standard input: read, write, wait, sleep, quit");

    std::vector<std::string> readItems;
    int waitGoodMs = -1;
    auto* readCmd = app.add_subcommand("read", "read items once (JSON lines)");
    readCmd->add_option("items", readItems, "item paths")->required();
    readCmd->add_option("--wait-good", waitGoodMs,
                        "wait up to MS milliseconds for good quality first (exit 1 on time-out)");

    std::vector<std::string> assignments;
    auto* writeCmd = app.add_subcommand("write", "write items in one batch");
    writeCmd->add_option("assignments", assignments, "ITEM=VALUE ...")->required();

    std::vector<std::string> watchItems;
    int intervalMs = 1000;
    int count = 0;
    auto* watchCmd = app.add_subcommand("watch", "show items as a refreshing table");
    watchCmd->add_option("items", watchItems, "item paths")->required();
    watchCmd->add_option("--interval", intervalMs, "refresh interval in milliseconds")
        ->check(CLI::Range(10, 3600000));
    watchCmd->add_option("--count", count, "stop after this many refreshes (0: until stopped)")
        ->check(CLI::NonNegativeNumber);

    int settleMs = 5000;
    bool statusJson = false;
    auto* statusCmd = app.add_subcommand(
        "status", "poll for a while and print each configured member's health and the bus's");
    statusCmd
        ->add_option("--settle", settleMs,
                     "milliseconds to poll first, a full pass at most (default 5000)")
        ->check(CLI::Range(0, 3600000));
    statusCmd->add_flag("--json", statusJson, "one JSON object instead of the table");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitFailure;
    }

    LoadedPlugin plugin;
    std::string error;
    const std::filesystem::path file =
        pluginPath.empty() ? kvx::host::DefaultPluginPath() : std::filesystem::path(pluginPath);
    if (!plugin.load(file, error)) {
        std::cerr << "fenlo-host: " << error << '\n';
        return kExitFailure;
    }

    try {
        if (*describeCmd) return describe(plugin);
        if (*browseCmd) return browse(plugin);
        if (*sessionCmd) return runSession(plugin);
        if (*readCmd) return read(plugin, readItems, waitGoodMs);
        if (*writeCmd) return write(plugin, assignments);
        if (*watchCmd) return watch(plugin, watchItems, intervalMs, count);
        if (*statusCmd) return status(plugin, settleMs, statusJson);
    } catch (const std::exception& e) {
        std::cerr << "fenlo-host: " << e.what() << '\n';
        return kExitFailure;
    }
    return kExitFailure;
}
