// Eight host threads send read, write and property batches while the polling thread runs
// against simulated members that misbehave now and then; hosts that keep the bus busy while
// the namespace is rebuilt and the plug-in stopped. Run under ThreadSanitizer in CI; the
// duration of the first comes from KVX_STRESS_SECONDS (default 30).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../driver/driver_test_support.h"
#include "fenlodrv/oleauto.h"
#include "kvx/sim/simulator.h"
#include "plugin.h"

using namespace kvx::driver;
using namespace kvx::testing;
using namespace std::chrono_literals;

namespace {

// What a faulty bus makes the plug-in say about writes: a member that did not acknowledge
// one, and divisors that are not current while a member's polls fail.
bool IsFaultyBusNotice(const Message& message) {
    return message.caption == kWriteErrorCaption &&
           (message.text.find("did not acknowledge the write") != std::string::npos ||
            message.text.find("is not from the member's current data") != std::string::npos ||
            message.text.find("has not been read from the member yet") != std::string::npos);
}

const char* const kDeviceDescription =
    "fetch1\tdesadr=0\tbytes=48\t\n"
    "fetch2\tdesadr=100\tbytes=16\t\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump KX-100\t\n"
    "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n"
    "tag\tname=Total\taccess=rw\tdtype=long\treadoffset=10\twriteoffset=10\tlength=4\t\n"
    "tag\tname=Temp\taccess=rw\tdtype=float\treadoffset=14\twriteoffset=14\tlength=2\t"
    "factor=0\tdivoffset=47\t\n"
    "tag\tname=Label\taccess=rw\tdtype=string\treadoffset=24\twriteoffset=24\tlength=8\t\n"
    "tag\tname=Mask\taccess=rw\tdtype=hex\treadoffset=34\twriteoffset=34\tlength=4\t"
    "factor=1\t\n"
    "tag\tname=Level\taccess=rw\tdtype=int\treadoffset=38\twriteoffset=38\tlength=2\t"
    "fscale=1\t\n"
    "tag\tname=Tail\taccess=rw\tdtype=uint\treadoffset=48\twriteoffset=100\tlength=2\t\n"
    "tag\tname=Link\taccess=r\tdtype=timeout\tlength=0\t\n";

const char* const kItems[] = {"DEVICE_ID",    "Count",        "Total",     "Temp",
                              "Label",        "Mask",         "Level",     "Tail",
                              "Link",         "Level_start",  "Level_end", "Level_unit",
                              "Level_format", "Level_factor", "Level_name"};

int StressSeconds() {
    const char* text = std::getenv("KVX_STRESS_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 30;
}

}  // namespace

TEST(Stress, BatchesFromEightThreadsWhilePollingAFaultyBus) {
    ScratchDir dir;
    UseInstallDir(dir.path());
    RecordingNotifier notes;
    kvx::sim::Simulator sim(kvx::sim::SimulatorOptions{false, 11});
    const int addresses[] = {3, 4, 5, 6};
    std::string ini = "[RS232]\nCOM=" + sim.devicePath() + "\n[KXBUS]\nWAIT=0\n";
    for (int address : addresses) {
        std::vector<std::uint8_t> memory(128, 0);
        std::memcpy(memory.data(), "KX-100", 6);
        memory[47] = 10;
        sim.addMember(address, memory);
        kvx::sim::Faults faults;
        faults.silence = 0.03;
        faults.shortAnswer = {0.05, 2};
        faults.garbled = {0.05, 1};
        faults.wrongIdentity = 0.05;
        faults.wrongEnd = 0.02;
        sim.setFaults(address, faults);
        sim.setIdentityRegions(address, {{0, 6}});
        ini += "[SLAVE0" + std::to_string(address) + "]\nCFG=dev.cfg\nNAME=Ini\n";
    }
    dir.write("dev.cfg", kDeviceDescription);
    dir.write("fenlodrv.ini", ini);
    sim.start();

    CallbackRecorder recorder;
    Plugin plugin;
    ASSERT_NE(plugin.Initialize(), nullptr);
    ASSERT_EQ(plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag), 4);
    struct Item {
        std::uint32_t handle;
        VARTYPE type;
        std::string name;
    };
    std::vector<Item> items;
    for (int address : addresses) {
        for (const char* name : kItems) {
            const std::string path = "ADR0" + std::to_string(address) + "." + name;
            const Callback* tag = recorder.tag(path);
            ASSERT_NE(tag, nullptr) << path;
            items.push_back({tag->userData, static_cast<VARTYPE>(tag->valueType), name});
        }
    }
    ASSERT_EQ(plugin.Start(), 1);
    // A write of Temp needs its divisor byte from an accepted poll (before that it is refused
    // with a message): every member is polled once before the batches start.
    const auto polled = std::chrono::steady_clock::now() + 10s;
    for (int address : addresses) {
        const auto& counter =
            plugin.state().members[static_cast<std::size_t>(address)].errorCounter;
        while (counter.load() >= kBadErrorCount && std::chrono::steady_clock::now() < polled) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_LT(counter.load(), kBadErrorCount) << "member " << address << " never polled";
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(StressSeconds());
    std::atomic<long> badRecords{0};
    std::atomic<long> reads{0};
    std::atomic<long> writes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
            std::vector<SOXpSRequest> batch(12);
            while (std::chrono::steady_clock::now() < end) {
                const bool write = random() % 4 == 0;
                for (SOXpSRequest& r : batch) {
                    std::memset(static_cast<void*>(&r), 0, sizeof(r));
                    const Item& item = items[random() % items.size()];
                    r.userData = item.handle;
                    r.value.vt = item.type;
                    if (!write) continue;
                    switch (item.type) {
                        case VT_BSTR: {
                            const std::u16string text = (random() % 2) ? u"AB 12 CD 34" : u"unit-x";
                            r.value.value.bstrVal =
                                SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                                  static_cast<std::uint32_t>(text.size()));
                            break;
                        }
                        case VT_R8:
                            r.value.value.dblVal = static_cast<double>(random() % 300) - 100.0;
                            break;
                        case VT_R4:
                            r.value.value.fltVal = static_cast<float>(random() % 1000) / 10.0f;
                            break;
                        case VT_UI1:
                            r.value.value.bVal = static_cast<std::uint8_t>(random());
                            break;
                        default:
                            r.value.value.lVal = static_cast<std::int32_t>(random() % 30000);
                            break;
                    }
                }
                const auto count = static_cast<std::uint32_t>(batch.size());
                if (plugin.HandleRequests(write ? SOXPS_WRITE : SOXPS_READ, count, batch.data()) !=
                    static_cast<std::int32_t>(count)) {
                    ++badRecords;
                }
                for (SOXpSRequest& r : batch) {
                    if (r.completion != SOXPS_COMPLETED) ++badRecords;
                    if (!write && r.quality != SOXPS_QUALITY_GOOD &&
                        r.quality != SOXPS_QUALITY_BAD) {
                        ++badRecords;
                    }
                    if (!write && r.value.vt == VT_BSTR && r.value.value.bstrVal != nullptr &&
                        SysStringLen(r.value.value.bstrVal) > 64) {
                        ++badRecords;
                    }
                    VariantClear(&r.value);
                }
                (write ? writes : reads) += count;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    plugin.Stop();

    EXPECT_EQ(badRecords.load(), 0);
    EXPECT_GT(reads.load(), 1000);
    EXPECT_GT(writes.load(), 10);
    // The bus was really used by both sides: polls and writes reached the members.
    std::size_t polls = 0;
    std::size_t written = 0;
    for (const auto& frame : sim.frames()) {
        (frame.kind == kvx::sim::FrameKind::Read ? polls : written) += 1;
    }
    EXPECT_GT(polls, 4u);
    EXPECT_GT(written, 4u);
    // The only message: "unit-x" is no hex text for Mask, told once per member.
    std::size_t maskRefusals = 0;
    for (const Message& message : notes.messages()) {
        const bool mask = message.caption == kWriteErrorCaption &&
                          message.text.find(
                              ".Mask: value \"unit-x\" not sent: it is not a text "
                              "of 8 hex digits") != std::string::npos;
        if (mask) {
            ++maskRefusals;
        } else if (!IsFaultyBusNotice(message)) {
            ADD_FAILURE() << message.caption << ": " << message.text;
        }
    }
    EXPECT_LE(maskRefusals, std::size(addresses));
}

// A host that builds its namespace again while the polling thread runs: the member table the
// thread reads is rebuilt under it. Polling goes on afterwards with the new description.
TEST(Stress, NamespaceRebuiltWhilePolling) {
    ScratchDir dir;
    UseInstallDir(dir.path());
    RecordingNotifier notes;
    kvx::sim::Simulator sim(kvx::sim::SimulatorOptions{false, 13});
    std::vector<std::uint8_t> memory(64, 0);
    std::memcpy(memory.data(), "KX-100", 6);
    sim.addMember(3, memory);
    dir.write("fenlodrv.ini", "[RS232]\nCOM=" + sim.devicePath() +
                                  "\n[KXBUS]\nWAIT=0\n[SLAVE03]\nCFG=dev.cfg\nNAME=Ini\n");
    auto description = [](const std::string& name) {
        return "fetch1\tdesadr=0\tbytes=16\t\n"
               "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=" +
               name + "\t\n";
    };
    dir.write("dev.cfg", description("Pump A"));
    sim.start();

    CallbackRecorder recorder;
    Plugin plugin;
    ASSERT_NE(plugin.Initialize(), nullptr);
    ASSERT_EQ(plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag), 1);
    ASSERT_EQ(plugin.Start(), 1);

    auto readName = [&](std::uint16_t& quality) {
        const Callback* tag = recorder.tag("ADR03.DEVICE_ID");
        if (tag == nullptr) return std::u16string();
        SOXpSRequest r;
        std::memset(static_cast<void*>(&r), 0, sizeof(r));
        r.userData = tag->userData;
        r.value.vt = VT_BSTR;
        plugin.HandleRequests(SOXPS_READ, 1, &r);
        quality = r.quality;
        std::u16string text;
        if (r.value.vt == VT_BSTR && r.value.value.bstrVal != nullptr) {
            text.assign(reinterpret_cast<const char16_t*>(r.value.value.bstrVal),
                        SysStringLen(r.value.value.bstrVal));
        }
        VariantClear(&r.value);
        return text;
    };
    auto waitForName = [&](const std::u16string& name) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            std::uint16_t quality = 0;
            if (readName(quality) == name && quality == SOXPS_QUALITY_GOOD) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    ASSERT_TRUE(waitForName(u"Pump A"));

    for (int round = 0; round < 4; ++round) {
        const std::string name = round % 2 == 0 ? "Pump B" : "Pump C";
        dir.write("dev.cfg", description(name));
        recorder.calls.clear();
        std::this_thread::sleep_for(30ms);  // the thread is between addresses or polling
        ASSERT_EQ(plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag), 1);
        EXPECT_TRUE(plugin.pollingRunning());
        EXPECT_TRUE(waitForName(std::u16string(name.begin(), name.end()))) << name;
    }
    plugin.Stop();
    EXPECT_FALSE(plugin.pollingRunning());
    for (const Message& message : notes.messages()) {
        if (!IsFaultyBusNotice(message)) {
            ADD_FAILURE() << message.caption << ": " << message.text;
        }
    }
}

// Hosts that keep the bus and the plug-in busy: two threads write a value every 100 ms to a
// member that never answers (each write waits its 500 ms for the acknowledgement, so the
// port is taken nearly all the time), four threads send 40-item read batches back to back.
// Rebuilds and the stop still get their turn at once: they wait for the polling thread only,
// never for the hosts. Once stopped, nothing claims good quality.
TEST(Stress, StopAndRebuildGetTheirTurnUnderHostLoad) {
    ScratchDir dir;
    UseInstallDir(dir.path());
    RecordingNotifier notes;
    kvx::sim::Simulator sim(kvx::sim::SimulatorOptions{false, 17});
    std::vector<std::uint8_t> memory(64, 0);
    std::memcpy(memory.data(), "KX-100", 6);
    memory[9] = 7;
    sim.addMember(3, memory);  // member 9 is configured but silent
    dir.write("fenlodrv.ini", "[RS232]\nCOM=" + sim.devicePath() +
                                  "\n[KXBUS]\nWAIT=0\n[SLAVE03]\nCFG=dev.cfg\n"
                                  "[SLAVE09]\nCFG=dev.cfg\n");
    dir.write("dev.cfg",
              "fetch1\tdesadr=0\tbytes=16\t\n"
              "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump\t\n"
              "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n"
              "tag\tname=Mode\taccess=rw\tdtype=char\treadoffset=10\twriteoffset=10\tlength=1\t\n");
    sim.start();

    CallbackRecorder recorder;
    Plugin plugin;
    ASSERT_NE(plugin.Initialize(), nullptr);
    struct Handles {
        std::uint32_t silentCount = 0;
        std::vector<std::uint32_t> reads;  // every tag of both members
        std::uint32_t liveCount = 0;
    };
    std::mutex handlesMutex;
    Handles handles;
    auto build = [&] {
        recorder.calls.clear();
        const std::int32_t built =
            plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag);
        Handles fresh;
        for (const Callback& call : recorder.calls) {
            if (call.isTag) fresh.reads.push_back(call.userData);
        }
        if (const Callback* tag = recorder.tag("ADR09.Count")) fresh.silentCount = tag->userData;
        if (const Callback* tag = recorder.tag("ADR03.Count")) fresh.liveCount = tag->userData;
        std::lock_guard lock(handlesMutex);
        handles = fresh;
        return built;
    };
    ASSERT_EQ(build(), 2);
    ASSERT_EQ(plugin.Start(), 1);
    auto current = [&] {
        std::lock_guard lock(handlesMutex);
        return handles;
    };
    // Member 3 is polled: its count reads good.
    const auto goodBy = std::chrono::steady_clock::now() + 10s;
    std::uint16_t quality = 0;
    while (quality != SOXPS_QUALITY_GOOD && std::chrono::steady_clock::now() < goodBy) {
        SOXpSRequest r;
        std::memset(static_cast<void*>(&r), 0, sizeof(r));
        r.userData = current().liveCount;
        r.value.vt = VT_I2;
        plugin.HandleRequests(SOXPS_READ, 1, &r);
        quality = r.quality;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(quality, SOXPS_QUALITY_GOOD);

    std::atomic<bool> hostsEnd{false};
    std::atomic<bool> stopped{false};
    std::atomic<long> writes{0};
    std::atomic<long> readBatches{0};
    std::atomic<long> goodAfterStop{0};
    std::atomic<long> goodFromSilent{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 2; ++t) {
        hosts.emplace_back([&, t] {
            while (!hostsEnd) {
                SOXpSRequest w;
                std::memset(static_cast<void*>(&w), 0, sizeof(w));
                w.userData = current().silentCount;
                w.value.vt = VT_I2;
                w.value.value.iVal = static_cast<std::int16_t>(t + 1);
                plugin.HandleRequests(SOXPS_WRITE, 1, &w);
                ++writes;
                std::this_thread::sleep_for(100ms);
            }
        });
    }
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([&] {
            std::vector<SOXpSRequest> batch(40);
            while (!hostsEnd) {
                const Handles now = current();
                const bool afterStop = stopped;
                for (std::size_t i = 0; i < batch.size(); ++i) {
                    std::memset(static_cast<void*>(&batch[i]), 0, sizeof(SOXpSRequest));
                    batch[i].userData = now.reads[i % now.reads.size()];
                }
                plugin.HandleRequests(SOXPS_READ, static_cast<std::uint32_t>(batch.size()),
                                      batch.data());
                for (SOXpSRequest& r : batch) {
                    if (r.quality == SOXPS_QUALITY_GOOD) {
                        if (afterStop) ++goodAfterStop;
                        if (r.userData == now.silentCount) ++goodFromSilent;
                    }
                    VariantClear(&r.value);
                }
                ++readBatches;
            }
        });
    }
    // Each lifecycle call must come back while the hosts go on; otherwise the hosts are ended
    // so that the test can finish, and the call is reported.
    auto inTurn = [&](const char* what, const std::function<void()>& call) {
        auto done = std::async(std::launch::async, call);
        const bool prompt = done.wait_for(5s) == std::future_status::ready;
        if (!prompt) hostsEnd = true;
        done.wait();
        EXPECT_TRUE(prompt) << what << " waited for the hosts";
        return prompt;
    };

    bool prompt = true;
    for (int round = 0; round < 3 && prompt; ++round) {
        std::this_thread::sleep_for(700ms);
        prompt = inTurn("rebuild", [&] { EXPECT_EQ(build(), 2); });
        EXPECT_TRUE(plugin.pollingRunning());
    }
    if (prompt) {
        std::this_thread::sleep_for(700ms);
        prompt = inTurn("stop", [&] { plugin.Stop(); });
        stopped = true;
        std::this_thread::sleep_for(300ms);
    }
    hostsEnd = true;
    for (std::thread& host : hosts) host.join();
    plugin.Stop();

    EXPECT_TRUE(prompt);
    EXPECT_GT(writes.load(), 4);
    EXPECT_GT(readBatches.load(), 20);
    EXPECT_EQ(goodFromSilent.load(), 0);
    EXPECT_EQ(goodAfterStop.load(), 0);
    for (const Message& message : notes.messages()) {
        if (!IsFaultyBusNotice(message)) {
            ADD_FAILURE() << message.caption << ": " << message.text;
        }
    }
}
