// Host request batches of any shape: records with known, stale or forged handles and VARIANTs
// of every type, read and write, against the plug-in polling simulated sample devices (served
// in-process through the bus port's device, so that no line paces the writes). Every
// record is completed, no quality other than good or bad is reported, and every text the
// plug-in hands out is freed with the shared allocator (leaks are findings).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fenlodrv/oleauto.h"
#include "kvx/bus/serial_port.h"
#include "kvx/platform/serial_device.h"
#include "kvx/sim/simulator.h"
#include "notifier.h"
#include "plugin.h"

namespace {

using namespace std::chrono_literals;

class QuietNotifier final : public kvx::driver::Notifier {
  public:
    void notify(std::string_view, std::string_view) override {}
};

struct Item {
    std::uint32_t handle;
    VARTYPE type;
};

std::vector<Item>* g_items = nullptr;

std::int32_t SOXPS_CALL AddNode(std::uint32_t, const char*, std::uint32_t* handle) {
    static std::uint32_t next = 0;
    *handle = ++next;
    return 0;
}
std::int32_t SOXPS_CALL AddTag(std::uint32_t, const char*, std::uint32_t valueType, std::uint32_t,
                               std::uint32_t userData, std::uint32_t) {
    g_items->push_back({userData, static_cast<VARTYPE>(valueType & 0xFFFF)});
    return 0;
}

kvx::sim::Simulator* g_sim = nullptr;

// The bus port as an in-process byte stream to the simulator: every frame the link writes is
// served by the simulated members at once, and their answer is what the next reads take.
// The link still opens, configures, writes, reads and closes the port for every transaction.
class SimulatorDevice final : public kvx::platform::SerialDevice {
  public:
    bool getLineSettings(kvx::platform::LineSettings& out) override {
        out = line_;
        return true;
    }
    bool setLineSettings(const kvx::platform::LineSettings& in) override {
        line_ = in;
        return true;
    }
    bool getTimeouts(kvx::platform::SerialTimeouts& out) override {
        out = timeouts_;
        return true;
    }
    bool setTimeouts(const kvx::platform::SerialTimeouts& in) override {
        timeouts_ = in;
        return true;
    }
    bool setQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
    bool setEventMask(std::uint32_t) override { return true; }
    bool write(const void* buffer, std::size_t count, std::size_t& written) override {
        pending_ = g_sim->exchange({static_cast<const std::uint8_t*>(buffer), count});
        pos_ = 0;
        written = count;
        return true;
    }
    bool read(void* buffer, std::size_t count, std::size_t& got) override {
        got = std::min(count, pending_.size() - pos_);
        std::copy_n(pending_.data() + pos_, got, static_cast<std::uint8_t*>(buffer));
        pos_ += got;
        return true;
    }
    void close() override {}
    int lastError() const override { return 0; }

  private:
    kvx::platform::LineSettings line_;
    kvx::platform::SerialTimeouts timeouts_;
    std::vector<std::uint8_t> pending_;
    std::size_t pos_ = 0;
};

std::unique_ptr<kvx::platform::SerialDevice> OpenSimulatorDevice(std::string_view, int& error) {
    error = 0;
    return std::make_unique<SimulatorDevice>();
}

std::filesystem::path g_installation;

// The plug-in over the three sample devices, polled until every member answered.
struct World {
    World() {
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        dir = base / ("kvx-fuzz-batch-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir);
        // The installation folder goes with the process when the run ends normally (a crash
        // leaves it beside the reproducer).
        g_installation = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(g_installation, ignored);
        });
        ::setenv("KORVEX_OPC_SERVER_CONF", (dir / "none.conf").c_str(), 1);
        ::setenv("KORVEX_OPC_INSTDIR", dir.c_str(), 1);
        kvx::driver::SetNotifier(&notifier);

        std::string ini = "[RS232]\nCOM=" + sim.devicePath() + "\n[KXBUS]\nWAIT=0\n";
        const std::pair<int, const char*> members[] = {
            {3, "tc200.cfg"}, {7, "dio16.cfg"}, {12, "fd7.cfg"}};
        for (const auto& [address, cfg] : members) {
            std::filesystem::copy_file(std::filesystem::path(KVX_SAMPLE_DEVICES) / cfg, dir / cfg);
            sim.addMemberFromCfg(address, dir / cfg);
            ini += "[SLAVE" + std::string(address < 10 ? "0" : "") + std::to_string(address) +
                   "]\nCFG=" + cfg + "\nNAME=Fuzz\n";
        }
        std::ofstream(dir / "fenlodrv.ini") << ini;
        g_sim = &sim;
        kvx::bus::SetSerialDeviceOpener(&OpenSimulatorDevice);

        g_items = &items;
        if (!plugin.Initialize()) std::abort();
        if (plugin.BuildNamespace(&AddNode, &AddTag) != 3 || items.empty()) std::abort();
        plugin.Start();
        // Reads are decoded only once a member's poll was accepted: wait for good quality.
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            SOXpSRequest r{};
            r.userData = items.front().handle;
            plugin.HandleRequests(SOXPS_READ, 1, &r);
            VariantClear(&r.value);
            if (r.quality == SOXPS_QUALITY_GOOD) break;
            std::this_thread::sleep_for(20ms);
        }
    }

    std::filesystem::path dir;
    QuietNotifier notifier;
    kvx::sim::Simulator sim{kvx::sim::SimulatorOptions{false, 1}};
    kvx::driver::Plugin plugin;
    std::vector<Item> items;
    std::uint64_t batches = 0;
};

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

const VARTYPE kTypes[] = {VT_EMPTY, VT_I2,   VT_I4,  VT_R4,  VT_R8,
                          VT_BSTR,  VT_BOOL, VT_UI1, VT_UI2, VT_UI4};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World* world = new World();  // lives as long as the fuzzing process
    Input in(data, size);
    const std::int32_t direction = in.byte() & 1;
    const std::uint32_t count = in.byte() % 41;
    std::vector<SOXpSRequest> records(count);
    for (auto& r : records) {
        const std::uint8_t pick = in.byte();
        r.userData =
            (pick & 0x80) ? in.u32() : world->items[in.byte() % world->items.size()].handle;
        if (direction == SOXPS_WRITE) {
            const std::uint8_t t = in.byte();
            r.value.vt = t < 200 ? kTypes[t % std::size(kTypes)] : static_cast<VARTYPE>(in.u32());
            if (r.value.vt == VT_BSTR) {
                std::vector<OLECHAR> text(in.byte() % 48);
                for (auto& c : text) c = static_cast<OLECHAR>(in.byte() | in.byte() << 8);
                r.value.value.bstrVal =
                    SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
            } else if (r.value.vt == VT_EMPTY || r.value.vt == VT_I2 || r.value.vt == VT_I4 ||
                       r.value.vt == VT_R4 || r.value.vt == VT_R8 || r.value.vt == VT_BOOL ||
                       r.value.vt == VT_UI1 || r.value.vt == VT_UI2 || r.value.vt == VT_UI4) {
                r.value.value.llVal = static_cast<std::int64_t>(
                    static_cast<std::uint64_t>(in.u32()) << 32 | in.u32());
            } else {
                r.value.value.llVal = 0;  // a type the host never sends has no payload
            }
        }
    }
    // The simulator keeps a record of every frame; over millions of batches that record
    // alone would outgrow the memory limit.
    if (++world->batches % 1024 == 0) world->sim.clearFrames();
    world->plugin.HandleRequests(direction, count, records.data());
    for (auto& r : records) {
        if (r.completion != SOXPS_COMPLETED) std::abort();
        if (direction == SOXPS_READ && r.quality != SOXPS_QUALITY_GOOD &&
            r.quality != SOXPS_QUALITY_BAD) {
            std::abort();
        }
        VariantClear(&r.value);
    }
    return 0;
}
