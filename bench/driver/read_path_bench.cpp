// Read path as a host drives it: the plug-in loaded as a shared library, read batches through
// the exported SOXpSHandleDARequests, over a namespace of 32 members with 200 tags each of
// every data type (integers, floats of each length, scaled values, texts, bits, hex and binary
// views, S5TIME, the communication state; with the DEVICE_ID tags and the scaling properties).
// The members are served by the simulator and polled all the while; every record of every
// batch must come back completed with good quality.
//
// The figure is tag reads per CPU-second of the reading thread (stable on a shared machine),
// shown beside tag reads per wall-second.
//
//   bench_driver_read_path [seconds] [--rounds N] [--tolerance T]

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_verdict.h"
#include "fenlodrv/oleauto.h"
#include "kvx/platform/cpu_time.h"
#include "kvx/sim/simulator.h"
#include "plugin_exports.h"

namespace {

constexpr int kMembers = 32;
constexpr int kTagsPerMember = 200;
constexpr std::size_t kBatch = 1000;
constexpr double kTargetPerCpuSecond = 5e6;

// Attributes of one tag of each kind, in turn; `{o}` is its read offset.
constexpr const char* kKinds[] = {
    "dtype=char\tlength=1",
    "dtype=int\tlength=2",
    "dtype=uint\tlength=2",
    "dtype=long\tlength=4",
    "dtype=ulong\tlength=4",
    "dtype=float\tlength=2\tfactor=0\tdivoffset=6",
    "dtype=float\tlength=4\tfactor=0.5",
    "dtype=float\tlength=3",
    "dtype=string\tlength=8",
    "dtype=bool\tlength=1\tbitoffset=3",
    "dtype=bool\tlength=2\tbitoffset=9",
    "dtype=bool\tlength=4\tbitoffset=20",
    "dtype=timeout\tlength=2",
    "dtype=s5time\tlength=2",
    "dtype=float2\tlength=4\tfactor=1",
    "dtype=hex\tlength=6\tfactor=0",
    "dtype=bin\tlength=2\tfactor=1",
    "dtype=int\tlength=2\tfscale=1",
    "dtype=uint\tlength=2\tfscale=1",
    "dtype=long\tlength=4\tfscale=1",
    "dtype=ulong\tlength=4\tfscale=1",
    "dtype=float\tlength=4\tfactor=1\tfscale=1",
    "dtype=bool\tlength=2\tbitoffset=1\tfscale=1",
};

// Two fetch blocks of 245 bytes each (the member's memory 0..489), the identification at 0,
// the divisor byte at 6, and 200 tags in four folders spread over the data.
std::string BigDescription() {
    std::string cfg =
        "fetch1\tdesadr=0\tbytes=245\t\n"
        "fetch2\tdesadr=245\tbytes=245\t\n"
        "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump KX-100\t\n";
    constexpr int kKindCount = static_cast<int>(std::size(kKinds));
    for (int t = 0; t < kTagsPerMember; ++t) {
        if (t % 50 == 0) cfg += fmt::format("node\tname=Group{}\t\n", t / 50);
        const int offset = 8 + (t * 7) % 472;  // every value lies within the 490 polled bytes
        // Writable where the image offset is also a data address the member can be written at.
        const std::string access =
            offset < 240 ? fmt::format("access=rw\twriteoffset={}", offset) : "access=r";
        cfg += fmt::format("tag\tname=T{:03d}\t{}\t{}\treadoffset={}\t\n", t, access,
                           kKinds[t % kKindCount], offset);
    }
    return cfg;
}

// The scaling table as an earlier start left it: a row for every scaled tag of every member,
// so that building the namespace only reads it.
std::string ScalingTable() {
    std::string table = "Address\tTagID\tRangeStart\tRangeEnd\tUnit\tFactor\tFormat\tName\r\n";
    constexpr int kKindCount = static_cast<int>(std::size(kKinds));
    for (int member = 0; member < kMembers; ++member) {
        for (int t = 0; t < kTagsPerMember; ++t) {
            if (std::string_view(kKinds[t % kKindCount]).find("fscale=1") ==
                std::string_view::npos) {
                continue;
            }
            table +=
                fmt::format("{}\tGroup{}.T{:03d}\t0.0\t200.0\t%\t1.0\t1\t\r\n", member, t / 50, t);
        }
    }
    return table;
}

std::vector<std::uint8_t> MemberMemory() {
    std::vector<std::uint8_t> m(kvx::sim::kMemorySize);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i * 37 + 11);
    std::memcpy(m.data(), "KX-100", 6);
    m[6] = 10;
    return m;
}

// Serves one batch; false (with a message) when a record is not completed with good quality.
bool ReadAndCheck(kvx::bench::PluginExports& plugin, std::vector<SOXpSRequest>& batch,
                  const std::vector<SOXpSRequest>& types) {
    plugin.handle(SOXPS_READ, static_cast<std::uint32_t>(batch.size()), batch.data());
    bool good = true;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        SOXpSRequest& r = batch[i];
        if (good && (r.quality != SOXPS_QUALITY_GOOD || r.completion != SOXPS_COMPLETED)) {
            fmt::print("record {} (handle {:#x}): quality {}, completion {}\n", i, r.userData,
                       r.quality, r.completion);
            good = false;
        }
        // The host frees the texts it received and asks with the registered type again.
        if (r.value.vt == VT_BSTR) VariantClear(&r.value);
        r.value.vt = types[i].value.vt;
    }
    return good;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = kvx::bench::ParseOptions(argc, argv);
    const double seconds = options.number(0, 5.0);
    kvx::bench::Verdict verdict(options.tolerance);

    // Polling without line pacing and without cycle pause: every member is accepted within a
    // few seconds and the image keeps being refreshed while the batches run.
    kvx::sim::Simulator sim(kvx::sim::SimulatorOptions{.wireTiming = false});
    std::vector<int> addresses;
    for (int a = 0; a < kMembers; ++a) {
        sim.addMember(a, MemberMemory());
        addresses.push_back(a);
    }
    sim.start();
    kvx::testing::ScratchDir dir;
    kvx::testing::UseInstallDir(dir.path());
    dir.write("big.cfg", BigDescription());
    dir.write("FreeScale.dat", ScalingTable());
    dir.write("fenlodrv.ini",
              kvx::bench::InstallationIni(sim.devicePath(), addresses,
                                          std::vector<std::string>(kMembers, "big.cfg"), 0));

    kvx::bench::PluginExports plugin;
    kvx::testing::CallbackRecorder recorder;
    const auto buildStart = std::chrono::steady_clock::now();
    plugin.initializeAndBrowse();
    fmt::print(
        "namespace built in {:.1f} s\n",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - buildStart).count());
    std::vector<kvx::testing::Callback> items;
    for (const auto& c : recorder.calls) {
        if (c.isTag) items.push_back(c);
    }
    if (items.size() < static_cast<std::size_t>(kMembers * kTagsPerMember)) {
        verdict.nothingMeasured(fmt::format("the namespace has {} items, fewer than {} tags",
                                            items.size(), kMembers * kTagsPerMember));
        return verdict.exitCode();
    }
    plugin.start();

    // Batches one after the other through the whole namespace.
    std::vector<std::vector<SOXpSRequest>> batches;
    for (std::size_t first = 0; first < items.size(); first += kBatch) {
        batches.push_back(kvx::bench::ReadBatch(items, first, kBatch));
    }
    const auto types = batches;

    // Every member accepted: a full pass of batches with good quality throughout.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        bool allGood = true;
        for (std::size_t b = 0; b < batches.size() && allGood; ++b) {
            auto probe = batches[b];
            plugin.handle(SOXPS_READ, static_cast<std::uint32_t>(probe.size()), probe.data());
            for (SOXpSRequest& r : probe) {
                allGood = allGood && r.quality == SOXPS_QUALITY_GOOD;
                if (r.value.vt == VT_BSTR) VariantClear(&r.value);
            }
        }
        if (allGood) break;
        if (std::chrono::steady_clock::now() > giveUp) {
            verdict.nothingMeasured("not every member was accepted by the polling within 60 s");
            return verdict.exitCode();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    fmt::print(
        "every member accepted after {:.1f} s\n",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - giveUp).count() + 60);
    fmt::print(
        "{} items ({} members x {} tags of every type, DEVICE_ID tags, scaling "
        "properties); batches of {}, the polling thread running\n",
        items.size(), kMembers, kTagsPerMember, kBatch);

    std::vector<double> perCpu, perWall;
    for (int round = 0; round < options.rounds; ++round) {
        long reads = 0;
        const auto cpuStart = kvx::platform::ThreadCpuTime();
        const auto wallStart = std::chrono::steady_clock::now();
        const auto end = wallStart + std::chrono::duration<double>(seconds);
        std::size_t next = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (!ReadAndCheck(plugin, batches[next], types[next])) {
                verdict.nothingMeasured("a batch was not served with good quality");
                return verdict.exitCode();
            }
            reads += static_cast<long>(kBatch);
            next = (next + 1) % batches.size();
        }
        const double cpu =
            std::chrono::duration<double>(kvx::platform::ThreadCpuTime() - cpuStart).count();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        if (cpu <= 0.0) {
            verdict.nothingMeasured("no processor time could be measured");
            return verdict.exitCode();
        }
        perCpu.push_back(static_cast<double>(reads) / cpu);
        perWall.push_back(static_cast<double>(reads) / wall);
        fmt::print(
            "round {}: {} tag reads in {:.2f} s ({:.2f} s of CPU): {:.2f} M per CPU-second, "
            "{:.2f} M per wall-second\n",
            round + 1, reads, wall, cpu, perCpu.back() / 1e6, perWall.back() / 1e6);
    }
    plugin.stop();
    fmt::print("tag reads per wall-second, median {:.2f} M (for comparison; depends on the load)\n",
               kvx::bench::Median(perWall) / 1e6);
    verdict.atLeast("tag reads per CPU-second [M]", kvx::bench::Median(perCpu) / 1e6,
                    kTargetPerCpuSecond / 1e6);
    return verdict.exitCode();
}
