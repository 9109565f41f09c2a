// Read path: SOXpSHandleDARequests with batches of 1000 mixed records (integers, floats,
// scaled values, strings) in one thread, served from the process image.
//
//   bench_driver_read_path [seconds]

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "bench_setup.h"
#include "fenlodrv/oleauto.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    constexpr int kMembers = 4;
    constexpr std::size_t kBatch = 1000;
    kvx::bench::MixedInstallation install(kMembers, "COM1", 0);
    auto& state = install.plugin().state();
    const auto memory = kvx::bench::MixedMemory();
    for (int a = 0; a < kMembers; ++a) {
        std::copy(memory.begin(), memory.end(), state.image[static_cast<std::size_t>(a)].begin());
        state.members[static_cast<std::size_t>(a)].errorCounter = 0;
    }
    auto batch = install.readBatch(kBatch, kMembers);
    const auto templateBatch = batch;

    // Check once that every record is served with a value and good quality.
    install.plugin().HandleRequests(SOXPS_READ, kBatch, batch.data());
    for (const SOXpSRequest& r : batch) {
        if (r.quality != SOXPS_QUALITY_GOOD || r.completion != SOXPS_COMPLETED) {
            fmt::print("record not served: quality {} completion {}\n", r.quality, r.completion);
            return 1;
        }
    }

    std::vector<double> rates;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        constexpr int kBatchesPerRound = 200;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatchesPerRound; ++i) {
            install.plugin().HandleRequests(SOXPS_READ, kBatch, batch.data());
            // The host frees the texts it received.
            for (SOXpSRequest& r : batch) {
                if (r.value.vt == VT_BSTR) VariantClear(&r.value);
                r.value.vt = templateBatch[static_cast<std::size_t>(&r - batch.data())].value.vt;
            }
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rates.push_back(kBatchesPerRound * static_cast<double>(kBatch) / elapsed);
    }
    std::sort(rates.begin(), rates.end());
    fmt::print("read batches of {} mixed records (int, long, uint, float x2, scaled x2, string)\n",
               kBatch);
    fmt::print(
        "{} rounds of 200 batches: median {:.2f} M tag reads/s, min {:.2f}, max {:.2f} "
        "(target >= 5)\n",
        rates.size(), rates[rates.size() / 2] / 1e6, rates.front() / 1e6, rates.back() / 1e6);
    return 0;
}
