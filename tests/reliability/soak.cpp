// Fault soak: the plug-in, loaded through its five exports as an OPC server host loads it,
// polls eight simulated members on a pseudo-terminal while every simulator fault strikes 5 %
// of the exchanges, four host threads send read and write batches and a namespace rebuild
// comes every minute. Meanwhile one member after the other fails completely for a while, and
// now and then the pseudo-terminal vanishes and comes back (an unplugged USB adapter).
//
// Checked: no crash; every record completed with good or bad quality; a member whose every
// exchange fails turns bad, and is good again after the first poll once the fault stops; the
// same for all members when the port is gone and back; the resident memory of the last minute
// is not above the first minute's by more than a small allowance. Figures go to standard
// output; the exit status is 1 when a check failed. scripts/soak.sh runs it for long.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fenlodrv/oleauto.h"
#include "kvx/sim/simulator.h"
#include "namespace_tree.h"
#include "plugin_loader.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kMembers = 8;
constexpr int kHostThreads = 4;
constexpr double kFaultRate = 0.05;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string Address2(int address) {
    return fmt::format("{:02d}", address);
}

// Every fault the simulator knows, each striking `rate` of the exchanges.
kvx::sim::Faults EveryFault(double rate) {
    kvx::sim::Faults f;
    f.silence = rate;
    f.shortAnswer = {rate, 2};
    f.longAnswer = {rate, 2};
    f.twoPreamble = rate;
    f.wrongEnd = rate;
    f.garbled = {rate, 1};
    f.wrongIdentity = rate;
    f.delayRate = rate;
    f.delay = 100ms;
    return f;
}

// Faults that spoil every poll, one kind at a time.
struct FailingFault {
    const char* name;
    kvx::sim::Faults faults;
};
std::vector<FailingFault> FailingFaults() {
    std::vector<FailingFault> out;
    kvx::sim::Faults f;
    f.silence = 1.0;
    out.push_back({"silence", f});
    f = {};
    f.shortAnswer = {1.0, 2};
    out.push_back({"short answer", f});
    f = {};
    f.wrongIdentity = 1.0;
    out.push_back({"wrong identity", f});
    f = {};
    f.wrongEnd = 1.0;
    out.push_back({"wrong end character", f});
    f = {};
    f.longAnswer = {1.0, 2};
    out.push_back({"long answer", f});
    return out;
}

// The memory address of the first fetch block of this description: a read there begins a poll.
int Fetch1Address(const fs::path& cfg) {
    std::ifstream in(cfg);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("fetch1\t", 0) != 0) continue;
        const auto at = line.find("desadr=");
        if (at != std::string::npos) return std::atoi(line.c_str() + at + 7);
    }
    return 0;
}

// The bus address of a data item ("ADR03.Process.ActualTemp"); -1 for a scaling property
// item, whose quality is always good.
int DataItemMember(const std::string& path) {
    static const char* const kProperties[] = {"_start",  "_end",    "_unit",
                                              "_factor", "_format", "_name"};
    for (const char* suffix : kProperties) {
        const std::string_view p(path);
        if (p.size() > std::strlen(suffix) && p.substr(p.size() - std::strlen(suffix)) == suffix) {
            return -1;
        }
    }
    return path.size() > 5 && path.compare(0, 3, "ADR") == 0 ? std::atoi(path.c_str() + 3) : -1;
}

long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            in >> kib;
            return kib;
        }
        in.ignore(4096, '\n');
    }
    return 0;
}

struct Options {
    double seconds = 60;
    double rebuildSeconds = 60;
    int unplugEvery = 3;  // every third phase (the first one included) unplugs the port
    long rssAllowanceKiB = 2048;
    int writePauseMs = 250;
    bool wireTiming =
        true;  // the simulator answers at 19200 baud  // each host's pause after a write batch
    std::uint64_t seed = 1;
    std::string plugin = KVX_PLUGIN_FILE;
    std::string devices = KVX_SAMPLE_DEVICES;
};

// The bus: eight members on a pseudo-terminal reached through a link that the plug-in's INI
// names, so that the terminal can vanish and a new one take its place.
class Bus {
  public:
    Bus(const fs::path& dir, const Options& options)
        : link_(dir / "ttyKVX"), seed_(options.seed), wireTiming_(options.wireTiming) {
        const char* cfgs[] = {"tc200.cfg", "dio16.cfg", "fd7.cfg"};
        for (int i = 0; i < kMembers; ++i) {
            Member m;
            m.address = i + 1;
            m.cfg = dir / cfgs[i % 3];
            if (!fs::exists(m.cfg)) fs::copy_file(fs::path(options.devices) / cfgs[i % 3], m.cfg);
            m.fetch1 = Fetch1Address(m.cfg);
            members_.push_back(m);
        }
    }
    const fs::path& link() const { return link_; }
    const std::vector<int> addresses() const {
        std::vector<int> out;
        for (const Member& m : members_) out.push_back(m.address);
        return out;
    }
    std::string cfgName(int address) const { return member(address).cfg.filename().string(); }

    void plug() {
        sim_ =
            std::make_unique<kvx::sim::Simulator>(kvx::sim::SimulatorOptions{wireTiming_, seed_++});
        for (const Member& m : members_) {
            sim_->addMemberFromCfg(m.address, m.cfg);
            sim_->setFaults(m.address, EveryFault(kFaultRate));
        }
        sim_->start();
        std::error_code ec;
        fs::remove(link_, ec);
        fs::create_symlink(sim_->devicePath(), link_);
    }
    void unplug() {
        std::error_code ec;
        fs::remove(link_, ec);
        sim_.reset();  // the terminal closes and its device disappears
    }
    kvx::sim::Simulator& sim() { return *sim_; }

    // Poll starts of `address` seen since `since`: reads of its first fetch block.
    std::vector<Clock::time_point> pollStarts(int address, Clock::time_point since) const {
        std::vector<Clock::time_point> out;
        const int fetch1 = member(address).fetch1;
        for (const auto& frame : sim_->frames()) {
            if (frame.kind == kvx::sim::FrameKind::Read && frame.address == address &&
                frame.dataAddress == fetch1 && frame.when >= since) {
                out.push_back(frame.when);
            }
        }
        return out;
    }

    // The frames of `address` since `since`, for a failure report: milliseconds, R(ead) or
    // W(rite), data address, fault bits in hex, '-' when unanswered.
    std::string frameLog(int address, Clock::time_point since) const {
        std::string out = fmt::format("frames of member {}:", address);
        for (const auto& frame : sim_->frames()) {
            if (frame.address != address || frame.when < since) continue;
            out += fmt::format(
                " {}{}@{}/{:x}{}",
                std::chrono::duration_cast<std::chrono::milliseconds>(frame.when - since).count(),
                frame.kind == kvx::sim::FrameKind::Read ? "R" : "W", frame.dataAddress,
                frame.faults, frame.answered ? "" : "-");
        }
        return out;
    }

  private:
    struct Member {
        int address = 0;
        fs::path cfg;
        int fetch1 = 0;
    };
    const Member& member(int address) const {
        return members_.at(static_cast<std::size_t>(address - 1));
    }
    fs::path link_;
    std::uint64_t seed_;
    bool wireTiming_;
    std::vector<Member> members_;
    std::unique_ptr<kvx::sim::Simulator> sim_;
};

struct Snapshot {
    std::vector<kvx::host::Item> items;   // every leaf
    std::map<int, std::uint32_t> probes;  // address -> handle of its DEVICE_ID
};

class Soak {
  public:
    Soak(const Options& options, const kvx::host::PluginEntryPoints& plugin, const fs::path& dir)
        : options_(options), plugin_(plugin), bus_(dir, options) {}

    int run();

  private:
    bool build();
    std::shared_ptr<const Snapshot> snapshot() const {
        std::lock_guard lock(snapshotMutex_);
        return snapshot_;
    }
    std::uint16_t quality(int address);
    void host(int index);
    void rebuilds();
    void sampleMemory();
    void faultPhase(int round);
    void unplugPhase();
    bool waitFor(const std::vector<int>& addresses, bool good, Clock::time_point since, int polls,
                 Clock::duration limit, const std::string& what);
    void fail(const std::string& text) {
        std::lock_guard lock(outputMutex_);
        ++failures_;
        fmt::print("soak: FAIL {}\n", text);
        std::fflush(stdout);
    }
    void note(const std::string& text) {
        std::lock_guard lock(outputMutex_);
        fmt::print("soak: {}\n", text);
        std::fflush(stdout);
    }
    double medianPollInterval();

    Options options_;
    kvx::host::PluginEntryPoints plugin_;
    Bus bus_;
    Clock::time_point start_;
    Clock::time_point end_;
    std::atomic<bool> done_{false};
    std::mutex waitMutex_;
    std::condition_variable wake_;

    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const Snapshot> snapshot_;
    // Probe reads hold it shared, a rebuild exclusively: a probe never uses a stale handle.
    std::shared_mutex buildMutex_;
    std::atomic<int> rebuildCount_{0};
    std::vector<double> buildSeconds_;  // under buildMutex_

    std::mutex outputMutex_;
    int failures_ = 0;
    std::atomic<long> readRecords_{0};
    std::atomic<long> writeRecords_{0};
    std::atomic<long> goodReads_{0};
    // Reads of each member's data items (index = bus address), and those of good quality.
    std::array<std::atomic<long>, 32> memberReads_{};
    std::array<std::atomic<long>, 32> memberGood_{};
    std::atomic<long> badRecords_{0};
    int faultPhases_ = 0;
    int unplugs_ = 0;
    std::vector<double> recoveries_;  // seconds from the end of a fault to good quality
    std::vector<double> cycles_;      // median poll interval before each phase
    std::mutex rssMutex_;
    std::vector<std::pair<double, long>> rss_;  // seconds since start, KiB
};

bool Soak::build() {
    auto tree = std::make_unique<kvx::host::NamespaceTree>();
    std::unique_lock lock(buildMutex_);
    const auto began = Clock::now();
    const std::int32_t members = tree->build(plugin_.buildNamespace);
    buildSeconds_.push_back(Seconds(Clock::now() - began));
    auto fresh = std::make_shared<Snapshot>();
    for (const auto& event : tree->events()) {
        if (!event.isTag) continue;
        fresh->items.push_back({event.path, static_cast<VARTYPE>(event.valueType & 0xFFFF),
                                event.access, event.userData});
        for (int address : bus_.addresses()) {
            if (event.path == "ADR" + Address2(address) + ".DEVICE_ID") {
                fresh->probes[address] = event.userData;
            }
        }
    }
    {
        std::lock_guard slock(snapshotMutex_);
        snapshot_ = fresh;
    }
    ++rebuildCount_;
    if (members != kMembers || fresh->probes.size() != static_cast<std::size_t>(kMembers)) {
        fail(fmt::format("namespace build gave {} members and {} identities, not {}", members,
                         fresh->probes.size(), kMembers));
        return false;
    }
    return true;
}

std::uint16_t Soak::quality(int address) {
    std::shared_lock lock(buildMutex_);
    const auto now = snapshot();
    SOXpSRequest r{};
    r.userData = now->probes.at(address);
    r.value.vt = VT_BSTR;
    plugin_.handleRequests(SOXPS_READ, 1, &r);
    VariantClear(&r.value);
    return r.quality;
}

// A host: batches of 16 random items, three reads for each write. A write sends back what
// the read before it found, for the writable items of good quality.
void Soak::host(int index) {
    std::mt19937 random(
        static_cast<unsigned>(options_.seed * 7919u + static_cast<unsigned>(index)));
    std::vector<SOXpSRequest> batch(16);
    std::vector<SOXpSRequest> writes;
    std::vector<int> memberOf(batch.size(), -1);
    long round = 0;
    while (!done_) {
        const auto now = snapshot();
        for (SOXpSRequest& r : batch) {
            r = SOXpSRequest{};
            const kvx::host::Item& item = now->items[random() % now->items.size()];
            memberOf[static_cast<std::size_t>(&r - batch.data())] = DataItemMember(item.path);
            r.userData = item.handle;
            r.value.vt = item.vt;
        }
        const auto count = static_cast<std::uint32_t>(batch.size());
        if (plugin_.handleRequests(SOXPS_READ, count, batch.data()) !=
            static_cast<std::int32_t>(count)) {
            ++badRecords_;
        }
        readRecords_ += count;
        const bool write = ++round % 4 == 0;
        writes.clear();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            SOXpSRequest& r = batch[i];
            if (r.completion != SOXPS_COMPLETED ||
                (r.quality != SOXPS_QUALITY_GOOD && r.quality != SOXPS_QUALITY_BAD)) {
                ++badRecords_;
            }
            if (r.quality == SOXPS_QUALITY_GOOD) ++goodReads_;
            if (const int a = memberOf[i]; a >= 0) {
                ++memberReads_[static_cast<std::size_t>(a)];
                if (r.quality == SOXPS_QUALITY_GOOD) ++memberGood_[static_cast<std::size_t>(a)];
            }
            if (write && r.quality == SOXPS_QUALITY_GOOD) {
                for (const auto& item : now->items) {
                    if (item.handle == r.userData && (item.access & SOXPS_ACCESS_WRITE) != 0) {
                        writes.push_back(r);  // takes over the text the read handed out
                        writes.back().completion = 0;
                        r.value = VARIANT{};
                        break;
                    }
                }
            }
            VariantClear(&r.value);
        }
        if (!writes.empty()) {
            const auto n = static_cast<std::uint32_t>(writes.size());
            if (plugin_.handleRequests(SOXPS_WRITE, n, writes.data()) !=
                static_cast<std::int32_t>(n)) {
                ++badRecords_;
            }
            for (SOXpSRequest& w : writes) {
                if (w.completion != SOXPS_COMPLETED) ++badRecords_;
                VariantClear(&w.value);
            }
            writeRecords_ += n;
        }
        if (write && options_.writePauseMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.writePauseMs));
        }
    }
}

void Soak::rebuilds() {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options_.rebuildSeconds));
    auto next = Clock::now() + period;
    std::unique_lock lock(waitMutex_);
    while (!wake_.wait_until(lock, next, [&] { return done_.load(); })) {
        lock.unlock();
        build();
        lock.lock();
        next += period;
    }
}

void Soak::sampleMemory() {
    std::unique_lock lock(waitMutex_);
    do {
        const long kib = ResidentKiB();
        std::lock_guard r(rssMutex_);
        rss_.emplace_back(Seconds(Clock::now() - start_), kib);
    } while (!wake_.wait_for(lock, 5s, [&] { return done_.load(); }));
}

// Waits until every member in `addresses` reads `good` (or bad). A member that does not is
// a failure once it has begun `polls` polls since `since` (from the simulator's frame record)
// and the poll after that has begun, or after `limit` in any case. A rebuild meanwhile
// starts the count afresh: a rebuilt member is bad until its next poll.
bool Soak::waitFor(const std::vector<int>& addresses, bool good, Clock::time_point since, int polls,
                   Clock::duration limit, const std::string& what) {
    const std::uint16_t wanted = good ? SOXPS_QUALITY_GOOD : SOXPS_QUALITY_BAD;
    const auto deadline = Clock::now() + limit;
    int rebuilds = rebuildCount_;
    std::vector<int> open = addresses;
    while (!open.empty()) {
        if (rebuildCount_ != rebuilds) {
            rebuilds = rebuildCount_;
            since = Clock::now();
        }
        for (auto it = open.begin(); it != open.end();) {
            // Polls begun before the quality is read: when more than `polls` had begun, the
            // ones that count had ended before the read.
            const int builds = rebuildCount_;
            const int begun = polls > 0 ? static_cast<int>(bus_.pollStarts(*it, since).size()) : 0;
            const auto q = quality(*it);
            if (rebuildCount_ != builds) break;  // the count starts afresh after the build
            if (q == wanted) {
                if (good) recoveries_.push_back(Seconds(Clock::now() - since));
                it = open.erase(it);
                continue;
            }
            if (polls > 0 && begun > polls) {
                note(bus_.frameLog(*it, since));
                fail(fmt::format("member {} is not {} after {} poll(s) since {}", *it,
                                 good ? "good" : "bad", polls, what));
                it = open.erase(it);
                continue;
            }
            ++it;
        }
        if (open.empty()) break;
        if (Clock::now() > deadline) {
            for (int a : open) {
                fail(fmt::format("member {} not {} {:.1f} s after {}", a, good ? "good" : "bad",
                                 Seconds(limit), what));
            }
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The median time between two polls of a member, from the last frames on record.
double Soak::medianPollInterval() {
    std::vector<double> gaps;
    for (int address : bus_.addresses()) {
        const auto starts = bus_.pollStarts(address, Clock::time_point{});
        for (std::size_t i = 1; i < starts.size(); ++i) {
            gaps.push_back(Seconds(starts[i] - starts[i - 1]));
        }
    }
    if (gaps.empty()) return 0;
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    return gaps[gaps.size() / 2];
}

// One member fails on every exchange until it reads bad, then the fault stops: it must be good
// once the first poll after that is done.
void Soak::faultPhase(int round) {
    static const std::vector<FailingFault> kinds = FailingFaults();
    const int address = bus_.addresses()[static_cast<std::size_t>(round) % kMembers];
    const FailingFault& kind =
        kinds[static_cast<std::size_t>(round / kMembers + round) % kinds.size()];
    const double cycle = medianPollInterval();
    if (cycle > 0) cycles_.push_back(cycle);
    bus_.sim().clearFrames();
    ++faultPhases_;

    const auto struck = Clock::now();
    bus_.sim().setFaults(address, kind.faults);
    // Ten failed polls in a row make a member bad; a poll already under way may still pass.
    waitFor({address}, false, struck, 12, 120s,
            fmt::format("fault '{}' struck on every exchange", kind.name));

    bus_.sim().clearFaults(address);
    const auto cleared = Clock::now();
    waitFor({address}, true, cleared, 1, 60s, fmt::format("fault '{}' stopped", kind.name));
    bus_.sim().setFaults(address, EveryFault(kFaultRate));
}

// The port's device vanishes until every member reads bad, then a new one takes its place:
// every member must be good once its first poll on the new one is done. The members there
// answer without faults until then.
void Soak::unplugPhase() {
    ++unplugs_;
    const auto pulled = Clock::now();
    bus_.unplug();
    const double cycle = cycles_.empty() ? 2.0 : cycles_.back();
    waitFor(
        bus_.addresses(), false, pulled, 0,
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cycle * 20 + 20)),
        "the port's device vanished");
    bus_.plug();
    for (int a : bus_.addresses()) bus_.sim().clearFaults(a);
    const auto back = Clock::now();
    waitFor(bus_.addresses(), true, back, 1, 60s, "the port's device came back");
    for (int a : bus_.addresses()) bus_.sim().setFaults(a, EveryFault(kFaultRate));
}

int Soak::run() {
    bus_.plug();
    {
        std::ofstream ini(bus_.link().parent_path() / "fenlodrv.ini");
        ini << "[RS232]\nCOM=" << bus_.link().string() << "\n[KXBUS]\nWAIT=0\n";
        for (int a : bus_.addresses()) {
            ini << "[SLAVE" << Address2(a) << "]\nCFG=" << bus_.cfgName(a) << "\nNAME=Soak\n";
        }
    }
    if (plugin_.initialize(0, 0, 0) == nullptr) {
        fail("SOXpSInitialize gave no server description");
        return 1;
    }
    if (!build()) return 1;
    if (plugin_.start() != 1) {
        fail("SOXpSStart did not start the polling");
        return 1;
    }
    start_ = Clock::now();
    end_ = start_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(options_.seconds));
    note(
        fmt::format("{} members on {}, every fault at {:.0f} %, {} host threads, rebuild every "
                    "{:.0f} s, {:.0f} s",
                    kMembers, bus_.link().string(), kFaultRate * 100, kHostThreads,
                    options_.rebuildSeconds, options_.seconds));
    // All members answer before the load starts.
    waitFor(bus_.addresses(), true, start_, 0, 60s, "the start");
    recoveries_.clear();

    std::vector<std::thread> threads;
    for (int i = 0; i < kHostThreads; ++i) threads.emplace_back([this, i] { host(i); });
    threads.emplace_back([this] { rebuilds(); });
    threads.emplace_back([this] { sampleMemory(); });

    int round = 0;
    int phase = 0;
    while (Clock::now() < end_) {
        // Some quiet time with only the random faults, then a phase.
        std::this_thread::sleep_for(std::min<Clock::duration>(5s, end_ - Clock::now()));
        if (Clock::now() + 10s > end_) break;
        if (phase % options_.unplugEvery == 0) {
            unplugPhase();
        } else {
            faultPhase(round++);
        }
        ++phase;
        note(fmt::format("{:.0f} s: {} fault phases, {} unplugs, {} rebuilds, {} failures",
                         Seconds(Clock::now() - start_), faultPhases_, unplugs_, rebuildCount_ - 1,
                         failures_));
    }
    while (Clock::now() < end_) std::this_thread::sleep_for(100ms);
    {
        std::lock_guard lock(waitMutex_);
        done_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads) t.join();
    plugin_.stop();

    // Resident memory: the first minute (after the start-up) against the last minute; in a
    // shorter run the first and last third.
    const double total = Seconds(Clock::now() - start_);
    const double window = std::min(60.0, total / 3);
    long first = 0;
    long last = 0;
    for (const auto& [t, kib] : rss_) {
        if (t >= 5 && t < 5 + window) first = std::max(first, kib);
        if (t >= total - window) last = std::max(last, kib);
    }
    std::sort(recoveries_.begin(), recoveries_.end());
    std::sort(cycles_.begin(), cycles_.end());
    const double worstRecovery = recoveries_.empty() ? 0 : recoveries_.back();
    note(fmt::format(
        "{:.0f} s: {} read and {} write records, {} reads of good quality ({:.1f} %),"
        " {} records not completed or of odd quality",
        total, readRecords_.load(), writeRecords_.load(), goodReads_.load(),
        readRecords_ ? 100.0 * static_cast<double>(goodReads_) / static_cast<double>(readRecords_)
                     : 0.0,
        badRecords_.load()));
    std::string shares;
    for (int a : bus_.addresses()) {
        const auto n = static_cast<double>(memberReads_[static_cast<std::size_t>(a)]);
        shares += fmt::format(
            " {}: {:.1f} %", a,
            n > 0 ? 100.0 * static_cast<double>(memberGood_[static_cast<std::size_t>(a)]) / n
                  : 0.0);
    }
    note("reads of data items of good quality by member:" + shares);
    note(
        fmt::format("{} fault phases, {} unplugs, {} rebuilds; poll interval (median) {:.2f} .. "
                    "{:.2f} s; good again {:.2f} s (median) / {:.2f} s (worst) after a fault "
                    "stopped ({} recoveries)",
                    faultPhases_, unplugs_, rebuildCount_ - 1,
                    cycles_.empty() ? 0 : cycles_.front(), cycles_.empty() ? 0 : cycles_.back(),
                    recoveries_.empty() ? 0 : recoveries_[recoveries_.size() / 2], worstRecovery,
                    recoveries_.size()));
    {
        std::unique_lock lock(buildMutex_);
        std::sort(buildSeconds_.begin(), buildSeconds_.end());
        if (!buildSeconds_.empty()) {
            note(fmt::format("namespace builds: {} in {:.2f} s (median) / {:.2f} s (longest)",
                             buildSeconds_.size(), buildSeconds_[buildSeconds_.size() / 2],
                             buildSeconds_.back()));
        }
    }
    note(
        fmt::format("resident memory: first {:.0f} s at most {} KiB, last {:.0f} s at most {} "
                    "KiB, growth {} KiB (allowed {} KiB)",
                    window, first, window, last, last - first, options_.rssAllowanceKiB));
    if (badRecords_ != 0)
        fail(fmt::format("{} records not completed or of odd quality", badRecords_.load()));
    if (readRecords_ == 0 || writeRecords_ == 0) fail("the hosts did not both read and write");
    if (faultPhases_ == 0 || unplugs_ == 0) fail("no fault phase or no unplug in the time given");
    if (first == 0 || last - first > options_.rssAllowanceKiB) {
        fail(fmt::format("resident memory grew by {} KiB", last - first));
    }
    note(failures_ == 0 ? "PASS" : fmt::format("{} failures", failures_));
    return failures_ == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    double minutes = 0;
    CLI::App app("Fault soak of the driver plug-in against simulated members");
    app.add_option("--minutes", minutes, "run time in minutes");
    app.add_option("--seconds", options.seconds, "run time in seconds (default 60)");
    app.add_option("--rebuild-seconds", options.rebuildSeconds, "seconds between rebuilds");
    app.add_option("--rss-allowance", options.rssAllowanceKiB,
                   "KiB the last minute's resident memory may exceed the first's");
    app.add_option("--write-pause", options.writePauseMs,
                   "ms each host waits after a write batch (default 250)");
    bool noWireTiming = false;
    app.add_flag("--no-wire-timing", noWireTiming, "the simulator answers at once");
    app.add_option("--unplug-every", options.unplugEvery,
                   "every Nth phase unplugs the port (default 3)")
        ->check(CLI::PositiveNumber);
    app.add_option("--seed", options.seed, "seed of the simulator's faults");
    app.add_option("--plugin", options.plugin, "the plug-in library");
    app.add_option("--devices", options.devices, "folder of the sample device descriptions");
    CLI11_PARSE(app, argc, argv);
    if (minutes > 0) options.seconds = minutes * 60;
    options.wireTiming = !noWireTiming;
    if (options.seconds < 30) {
        fmt::print(stderr, "soak: at least 30 s are needed for a fault phase and an unplug\n");
        return 2;
    }

    const fs::path dir =
        fs::temp_directory_path() / fmt::format("kvx-soak-{}", std::random_device{}());
    fs::create_directories(dir);
    ::setenv("KORVEX_OPC_SERVER_CONF", (dir / "no-such-server.conf").c_str(), 1);
    ::setenv("KORVEX_OPC_INSTDIR", dir.c_str(), 1);

    int status = 1;
    {
        kvx::host::LoadedPlugin plugin;
        std::string error;
        if (!plugin.load(options.plugin, error)) {
            fmt::print(stderr, "soak: {}\n", error);
            return 2;
        }
        Soak soak(options, plugin.entry(), dir);
        status = soak.run();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
