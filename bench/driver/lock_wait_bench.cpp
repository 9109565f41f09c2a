// Image-lock contention: while 4 threads read batches in a loop, how long the polling cycle
// waits for the image lock before it copies an accepted poll into the image. The cycle runs
// without its bus pauses and with block reads answered at once, so it copies as often as it
// can; the figure is the wait per copy.
//
//   bench_driver_lock_wait [seconds]

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "fenlodrv/oleauto.h"
#include "polling_cycle.h"

namespace {

class NoWaits final : public kvx::driver::PollWaits {
  public:
    bool waitForStop(kvx::platform::Millis) override { return false; }
    void sleep(kvx::platform::Millis) override {}
};

class InstantReads final : public kvx::driver::PollReads {
  public:
    std::int32_t readBlock(std::uint8_t* destination, int, int dataAddress,
                           int byteCount) override {
        std::copy_n(memory_.begin() + dataAddress, byteCount, destination);
        return byteCount + 11;
    }

  private:
    std::vector<std::uint8_t> memory_ = [] {
        auto m = kvx::bench::MixedMemory();
        m.resize(512);
        return m;
    }();
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    constexpr int kMembers = 8;
    constexpr int kReaders = 4;
    kvx::bench::MixedInstallation install(kMembers, "COM1", 0);
    auto& plugin = install.plugin();

    std::vector<std::int64_t> waitsNs;
    waitsNs.reserve(1 << 22);
    NoWaits waits;
    InstantReads reads;
    kvx::driver::PollCycle cycle(plugin.state(), waits, reads);
    cycle.setLockWaitProbe([&](std::chrono::nanoseconds wait) { waitsNs.push_back(wait.count()); });

    std::atomic<bool> stop{false};
    std::atomic<long> served{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            auto batch = install.readBatch(1000, kMembers);
            const auto types = batch;
            while (!stop.load(std::memory_order_relaxed)) {
                plugin.HandleRequests(SOXPS_READ, static_cast<std::uint32_t>(batch.size()),
                                      batch.data());
                for (std::size_t i = 0; i < batch.size(); ++i) {
                    if (batch[i].value.vt == VT_BSTR) VariantClear(&batch[i].value);
                    batch[i].value.vt = types[i].value.vt;
                }
                served.fetch_add(static_cast<long>(batch.size()), std::memory_order_relaxed);
            }
        });
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 32; ++i) cycle.step();
    }
    stop = true;
    for (auto& t : readers) t.join();

    std::sort(waitsNs.begin(), waitsNs.end());
    auto at = [&](double q) {
        return waitsNs[std::min(waitsNs.size() - 1, static_cast<std::size_t>(q * waitsNs.size()))] /
               1000.0;
    };
    fmt::print("{} reader threads, {} tag reads served; {} image copies by the polling cycle\n",
               kReaders, served.load(), waitsNs.size());
    fmt::print(
        "image-lock wait per copy: p50 {:.2f} us, p99 {:.2f} us, p99.9 {:.2f} us, max {:.2f} us "
        "(target p99 < 100 us)\n",
        at(0.50), at(0.99), at(0.999), waitsNs.back() / 1000.0);
    return 0;
}
