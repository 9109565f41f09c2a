// A whole session of the plug-in, loaded as a host loads it (the shared library and its five
// entry points), against a simulated member on a real pseudo-terminal: INI file and device
// description on disk, namespace, polling, read and write batches, scaling properties that
// survive a restart.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../driver/driver_test_support.h"
#include "fenlodrv/oleauto.h"
#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/plugin_ext.h"
#include "kvx/platform/shared_library.h"
#include "kvx/sim/simulator.h"

using namespace kvx::testing;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

constexpr int kAddress = 5;

// The plug-in library, loaded for the lifetime of the object.
class Plugin {
  public:
    Plugin() {
        std::string error;
        if (!library_.open(FENLODRV_PATH, error)) {
            ADD_FAILURE() << error;
            return;
        }
        initialize_ = reinterpret_cast<SOXpSInitializeFn>(library_.symbol("SOXpSInitialize"));
        build_ =
            reinterpret_cast<SOXpSBuildDANameSpaceFn>(library_.symbol("SOXpSBuildDANameSpace"));
        start_ = reinterpret_cast<SOXpSStartFn>(library_.symbol("SOXpSStart"));
        stop_ = reinterpret_cast<SOXpSStopFn>(library_.symbol("SOXpSStop"));
        handle_ =
            reinterpret_cast<SOXpSHandleDARequestsFn>(library_.symbol("SOXpSHandleDARequests"));
        if (!initialize_ || !build_ || !start_ || !stop_ || !handle_)
            ADD_FAILURE() << "exports missing";
    }
    ~Plugin() {
        if (stop_) stop_();
    }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const SOXpSServerDescription* Initialize() {
        return initialize_ ? initialize_(0, 0, 0) : nullptr;
    }
    std::int32_t BuildNamespace(SOXpSAddNode addNode, SOXpSAddTag addTag) {
        return build_ ? build_(addNode, addTag, 0) : -1;
    }
    std::int32_t Start() { return start_ ? start_() : 0; }
    std::int32_t Stop() { return stop_ ? stop_() : 0; }
    std::int32_t HandleRequests(std::int32_t direction, std::uint32_t count,
                                SOXpSRequest* records) {
        return handle_ ? handle_(direction, count, records) : 0;
    }
    // An optional export, as a host looks it up; null when missing.
    void* symbol(const char* name) { return library_.symbol(name); }

  private:
    kvx::platform::SharedLibrary library_;
    SOXpSInitializeFn initialize_ = nullptr;
    SOXpSBuildDANameSpaceFn build_ = nullptr;
    SOXpSStartFn start_ = nullptr;
    SOXpSStopFn stop_ = nullptr;
    SOXpSHandleDARequestsFn handle_ = nullptr;
};

const char* const kDeviceDescription =
    "fetch1\tdesadr=0\tbytes=64\t\n"
    "scanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump KX-100\t\n"
    "node\tname=Values\t\n"
    "tag\tname=Count\taccess=rw\tdtype=int\treadoffset=8\twriteoffset=8\tlength=2\t\n"
    "tag\tname=Total\taccess=rw\tdtype=ulong\treadoffset=10\twriteoffset=10\tlength=4\t\n"
    "tag\tname=Temp\taccess=rw\tdtype=float\treadoffset=14\twriteoffset=14\tlength=2\t"
    "factor=0\tdivoffset=63\t\n"
    "tag\tname=Flow\taccess=rw\tdtype=float\treadoffset=16\twriteoffset=16\tlength=4\t"
    "factor=1\t\n"
    "tag\tname=Press\taccess=rw\tdtype=float2\treadoffset=20\twriteoffset=20\tlength=4\t"
    "factor=1\t\n"
    "tag\tname=Label\taccess=rw\tdtype=string\treadoffset=24\twriteoffset=24\tlength=8\t\n"
    "tag\tname=Delay\taccess=rw\tdtype=s5time\treadoffset=32\twriteoffset=32\tlength=2\t\n"
    "tag\tname=Mask\taccess=rw\tdtype=hex\treadoffset=34\twriteoffset=34\tlength=2\t"
    "factor=0\t\n"
    "tag\tname=Bits\taccess=rw\tdtype=bin\treadoffset=36\twriteoffset=36\tlength=1\t"
    "factor=1\t\n"
    "tag\tname=Byte\taccess=rw\tdtype=char\treadoffset=37\twriteoffset=37\tlength=1\t\n"
    "tag\tname=Level\taccess=rw\tdtype=int\treadoffset=38\twriteoffset=38\tlength=2\t"
    "fscale=1\t\n"
    "tag\tname=Run\taccess=r\tdtype=bool\treadoffset=40\tlength=1\tbitoffset=3\t\n"
    "tag\tname=Link\taccess=r\tdtype=timeout\tlength=0\t\n";

std::vector<std::uint8_t> MemberMemory() {
    std::vector<std::uint8_t> m(64, 0);
    auto put = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), m.begin() + static_cast<std::ptrdiff_t>(at));
    };
    const std::string id = "KX-100";
    std::copy(id.begin(), id.end(), m.begin());
    put(8, {0xFF, 0xFE});               // Count -2
    put(10, {0x00, 0x01, 0x02, 0x03});  // Total 66051
    put(14, {0x00, 0x64});              // Temp 100 / 10
    put(16, {0x00, 0x00, 0xC0, 0x3F});  // Flow 1.5
    put(20, {0x40, 0x20, 0x00, 0x00});  // Press 2.5
    put(24, {'O', 'K', ' ', ' ', ' ', ' ', ' ', ' '});
    put(32, {0x21, 0x23});  // Delay 123 s
    put(34, {0x12, 0xAB});  // Mask "AB 12"
    put(36, {0xA5});        // Bits
    put(37, {0xC8});        // Byte 200
    put(38, {0x00, 0x32});  // Level raw 50
    put(40, {0x08});        // Run: bit 3
    put(63, {10});          // divisor of Temp
    return m;
}

class Session : public ::testing::Test {
  protected:
    Session() : sim(kvx::sim::SimulatorOptions{false, 3}) {
        UseInstallDir(dir.path());
        dir.write("dev.cfg", kDeviceDescription);
        dir.write("fenlodrv.ini", "[RS232]\nCOM=" + sim.devicePath() +
                                      "\n[KXBUS]\nWAIT=0\n[SLAVE05]\nCFG=dev.cfg\nNAME=IniPump\n");
        sim.addMember(kAddress, MemberMemory());
        sim.start();
    }

    void open(Plugin& plugin) {
        recorder.reset();  // the recorder in use is a single global
        recorder = std::make_unique<CallbackRecorder>();
        ASSERT_NE(plugin.Initialize(), nullptr);
        ASSERT_EQ(plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag), 1);
    }

    std::uint32_t handle(const std::string& name) {
        const Callback* tag = recorder->tag("ADR05." + name);
        EXPECT_NE(tag, nullptr) << name;
        return tag ? tag->userData : 0;
    }

    // What a read returned, copied out of the packed record so that it can be compared.
    struct Reading {
        alignas(8) VARIANT value;
        std::uint16_t quality;
    };

    // One read record as the host sends it: the registered type, no value.
    Reading read(Plugin& plugin, const std::string& name) {
        SOXpSRequest r;
        std::memset(static_cast<void*>(&r), 0, sizeof(r));
        const Callback* tag = recorder->tag("ADR05." + name);
        r.value.vt = static_cast<VARTYPE>(tag ? tag->valueType : 0u);
        r.userData = handle(name);
        EXPECT_EQ(plugin.HandleRequests(SOXPS_READ, 1, &r), 1);
        EXPECT_EQ(+r.completion, static_cast<std::uint32_t>(SOXPS_COMPLETED));
        Reading out;
        std::memcpy(static_cast<void*>(&out.value), &r.value, sizeof(VARIANT));
        out.quality = r.quality;
        return out;
    }
    std::u16string readText(Plugin& plugin, const std::string& name) {
        Reading r = read(plugin, name);
        EXPECT_EQ(r.value.vt, VT_BSTR) << name;
        std::u16string text;
        if (r.value.vt == VT_BSTR) {
            text.assign(reinterpret_cast<const char16_t*>(r.value.value.bstrVal),
                        SysStringLen(r.value.value.bstrVal));
        }
        VariantClear(&r.value);
        return text;
    }

    void write(Plugin& plugin, const std::string& name, const VARIANT& value) {
        SOXpSRequest r;
        std::memset(static_cast<void*>(&r), 0, sizeof(r));
        r.value = value;
        r.userData = handle(name);
        EXPECT_EQ(plugin.HandleRequests(SOXPS_WRITE, 1, &r), 1);
        EXPECT_EQ(+r.completion, static_cast<std::uint32_t>(SOXPS_COMPLETED));
    }
    void writeText(Plugin& plugin, const std::string& name, const std::u16string& text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                            static_cast<std::uint32_t>(text.size()));
        write(plugin, name, v);
        VariantClear(&v);
    }
    template <typename Setter>
    void writeValue(Plugin& plugin, const std::string& name, VARTYPE type, Setter set) {
        VARIANT v;
        VariantInit(&v);
        v.vt = type;
        set(v);
        write(plugin, name, v);
    }

    // The data of every write frame on the simulator's record.
    std::vector<std::vector<std::uint8_t>> writtenData() const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& frame : sim.frames()) {
            if (frame.kind == kvx::sim::FrameKind::Write) out.push_back(frame.data);
        }
        return out;
    }

    // Waits until the member has been polled again after a write (the priority member).
    bool waitForPoll(std::size_t framesBefore) {
        return sim.waitForFrames(kAddress, framesBefore + 2, 5s);
    }

    ScratchDir dir;
    kvx::sim::Simulator sim;
    std::unique_ptr<CallbackRecorder> recorder;
};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

}  // namespace

TEST_F(Session, ReadsEveryTypeWritesItAndKeepsPropertiesAcrossARestart) {
    auto plugin = std::make_unique<Plugin>();
    open(*plugin);
    EXPECT_EQ(readText(*plugin, "DEVICE_ID"), u"IniPump");
    EXPECT_EQ(read(*plugin, "Values.Count").quality, SOXPS_QUALITY_BAD);
    ASSERT_EQ(plugin->Start(), 1);
    ASSERT_TRUE(
        WaitUntil([&] { return read(*plugin, "Values.Count").quality == SOXPS_QUALITY_GOOD; }, 5s));

    // Every tag reads with good quality.
    EXPECT_EQ(readText(*plugin, "DEVICE_ID"), u"Pump KX-100");
    EXPECT_EQ(read(*plugin, "Values.Count").value.value.iVal, -2);
    Reading total = read(*plugin, "Values.Total");
    EXPECT_EQ(total.value.vt, VT_UI4);
    EXPECT_EQ(total.value.value.ulVal, 66051u);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Temp").value.value.fltVal, 10.0f);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Flow").value.value.fltVal, 1.5f);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Press").value.value.fltVal, 2.5f);
    EXPECT_EQ(readText(*plugin, "Values.Label"), u"OK");
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Delay").value.value.fltVal, 123.0f);
    EXPECT_EQ(readText(*plugin, "Values.Mask"), u"AB 12");
    EXPECT_EQ(readText(*plugin, "Values.Bits"), u"10100101");
    EXPECT_EQ(read(*plugin, "Values.Byte").value.value.uiVal, 200);
    Reading level = read(*plugin, "Values.Level");
    EXPECT_EQ(level.value.vt, VT_R4);
    EXPECT_FLOAT_EQ(level.value.value.fltVal, 50.0f);  // 0..100 %, factor 1
    EXPECT_EQ(read(*plugin, "Values.Run").value.value.boolVal, 1);
    Reading link = read(*plugin, "Values.Link");
    EXPECT_EQ(link.value.value.iVal, 0);
    EXPECT_EQ(link.quality, SOXPS_QUALITY_GOOD);

    // Every writable type: written, sent, polled and read back.
    std::size_t before = sim.frameCount(kAddress);
    writeValue(*plugin, "Values.Count", VT_I2, [](VARIANT& v) { v.value.iVal = 1000; });
    writeValue(*plugin, "Values.Total", VT_UI4, [](VARIANT& v) { v.value.ulVal = 4000000000u; });
    writeValue(*plugin, "Values.Temp", VT_R4, [](VARIANT& v) { v.value.fltVal = 2.5f; });
    writeValue(*plugin, "Values.Flow", VT_R4, [](VARIANT& v) { v.value.fltVal = -7.25f; });
    writeValue(*plugin, "Values.Press", VT_R4, [](VARIANT& v) { v.value.fltVal = 1e5f; });
    writeText(*plugin, "Values.Label", u"Pump 1");
    writeValue(*plugin, "Values.Delay", VT_R4, [](VARIANT& v) { v.value.fltVal = 1.23f; });
    writeText(*plugin, "Values.Mask", u"01 FE");
    writeText(*plugin, "Values.Bits", u"0000 1111");
    writeValue(*plugin, "Values.Byte", VT_UI1, [](VARIANT& v) { v.value.bVal = 7; });
    writeValue(*plugin, "Values.Level", VT_R4, [](VARIANT& v) { v.value.fltVal = 75.0f; });
    ASSERT_TRUE(waitForPoll(before + 11));
    // The polling thread takes its turn on the bus between the writes: only a poll after the
    // last one shows them all.
    ASSERT_TRUE(
        WaitUntil([&] { return read(*plugin, "Values.Level").value.value.fltVal == 75.0f; }, 5s));
    EXPECT_EQ(read(*plugin, "Values.Count").value.value.iVal, 1000);
    EXPECT_EQ(read(*plugin, "Values.Total").value.value.ulVal, 4000000000u);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Temp").value.value.fltVal, 2.5f);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Flow").value.value.fltVal, -7.25f);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Press").value.value.fltVal, 1e5f);
    EXPECT_EQ(readText(*plugin, "Values.Label"), u"Pump 1");
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Delay").value.value.fltVal, 1.23f);
    EXPECT_EQ(readText(*plugin, "Values.Mask"), u"01 FE");
    EXPECT_EQ(readText(*plugin, "Values.Bits"), u"00001111");
    EXPECT_EQ(read(*plugin, "Values.Byte").value.value.uiVal, 7);
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Level").value.value.fltVal, 75.0f);
    EXPECT_THAT(sim.readMemory(kAddress, 38, 2), ElementsAre(0x00, 0x4B));

    // Scaling properties: changed through the table, kept across a restart.
    writeValue(*plugin, "Values.Level_end", VT_R8, [](VARIANT& v) { v.value.dblVal = 200.0; });
    writeText(*plugin, "Values.Level_unit", u"m\u00B3");
    EXPECT_FLOAT_EQ(read(*plugin, "Values.Level").value.value.fltVal, 150.0f);
    plugin->Stop();
    plugin.reset();

    auto again = std::make_unique<Plugin>();
    open(*again);
    Reading end = read(*again, "Values.Level_end");
    EXPECT_EQ(end.value.vt, VT_R8);
    EXPECT_EQ(end.value.value.dblVal, 200.0);
    EXPECT_EQ(readText(*again, "Values.Level_unit"), u"m\u00B3");
    again->Stop();
}

TEST_F(Session, DivisorFromTheImageIsNotUsedBeforeTheFirstAcceptedPoll) {
    auto plugin = std::make_unique<Plugin>();
    open(*plugin);
    // The member keeps silent at first: polls fail, so no divisor byte has been read yet.
    kvx::sim::Faults silent;
    silent.silence = 1.0;
    sim.setFaults(kAddress, silent);
    ASSERT_EQ(plugin->Start(), 1);
    ASSERT_TRUE(sim.waitForFrames(kAddress, 1, 5s));  // polling has reached the member

    auto writeTemp = [&] {
        writeValue(*plugin, "Values.Temp", VT_R4, [](VARIANT& v) { v.value.fltVal = 2.5f; });
    };
    // Not 00 00 (divisor 0 from the empty image), which would overwrite the member's value:
    // nothing at all. A write that needs no image byte goes out meanwhile.
    writeTemp();
    writeValue(*plugin, "Values.Count", VT_I2, [](VARIANT& v) { v.value.iVal = 7; });
    EXPECT_THAT(writtenData(), ElementsAre(ElementsAre(0x00, 0x07)));

    sim.clearFaults(kAddress);
    ASSERT_TRUE(
        WaitUntil([&] { return read(*plugin, "Values.Temp").quality == SOXPS_QUALITY_GOOD; }, 5s));
    sim.clearFrames();
    writeTemp();
    EXPECT_THAT(writtenData(), ElementsAre(ElementsAre(0x00, 0x19)));
    EXPECT_THAT(sim.readMemory(kAddress, 14, 2), ElementsAre(0x00, 0x19));
    plugin->Stop();
}

TEST_F(Session, HostileScalingPropertiesLeaveTheTableAndLaterWritesRight) {
    auto plugin = std::make_unique<Plugin>();
    open(*plugin);
    ASSERT_EQ(plugin->Start(), 1);
    const std::string table = ScratchDir::read(dir.path() / "FreeScale.dat");
    auto property = [&](const std::string& name, double number) {
        writeValue(*plugin, "Values.Level_" + name, VT_R8,
                   [number](VARIANT& v) { v.value.dblVal = number; });
    };
    property("factor", 1e-300);
    property("factor", 1e300);
    property("end", 1e308);
    property("start", -1e308);
    property("end", 1e-300);
    property("end", 3e38);  // fine alone
    property("start", -3e38);
    EXPECT_EQ(read(*plugin, "Values.Level_factor").value.value.dblVal, 1.0);
    EXPECT_EQ(read(*plugin, "Values.Level_start").value.value.dblVal, 0.0);
    EXPECT_EQ(read(*plugin, "Values.Level_end").value.value.dblVal, 3e38);
    property("end", 100.0);
    EXPECT_EQ(ScratchDir::read(dir.path() / "FreeScale.dat"), table);

    // The scaling is still 0..100 %, factor 1: 75 goes out as raw 75, not 0.
    sim.clearFrames();
    writeValue(*plugin, "Values.Level", VT_R4, [](VARIANT& v) { v.value.fltVal = 75.0f; });
    EXPECT_THAT(writtenData(), ElementsAre(ElementsAre(0x00, 0x4B)));
    plugin->Stop();
}

// The extension as a host uses it: looked up by name, a wait for each poll, the member's and
// the bus's figures following what the simulated member does, and the time of the poll that
// brought the values. Host threads read the figures and wait while the thread polls.
TEST_F(Session, ExtensionTellsEachPollAndTheHealthOfMemberAndBus) {
    Plugin plugin;
    const auto version = reinterpret_cast<FenloExtVersionFn>(plugin.symbol("FenloExtVersion"));
    const auto member =
        reinterpret_cast<FenloGetMemberStatusFn>(plugin.symbol("FenloGetMemberStatus"));
    const auto bus = reinterpret_cast<FenloGetBusStatusFn>(plugin.symbol("FenloGetBusStatus"));
    const auto waitForPoll =
        reinterpret_cast<FenloWaitForPollFn>(plugin.symbol("FenloWaitForPoll"));
    ASSERT_TRUE(version && member && bus && waitForPoll);
    EXPECT_EQ(version(), FENLO_EXT_VERSION);
    auto statusOf = [&](std::uint32_t address) {
        FenloMemberStatus status{};
        status.size = sizeof(status);
        EXPECT_EQ(member(address, &status), 1);
        return status;
    };
    FenloMemberStatus wrongSize{};
    wrongSize.size = sizeof(wrongSize) - 8;
    EXPECT_EQ(member(kAddress, &wrongSize), 0);
    EXPECT_EQ(member(32, nullptr), 0);

    open(plugin);
    ASSERT_EQ(plugin.Start(), 1);
    // Each poll of the member wakes the wait; its figures are in place by then.
    std::uint64_t seen = 0;
    FenloMemberStatus pump{};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        seen = waitForPoll(seen, 2000);
        pump = statusOf(kAddress);
        if (pump.lastPollSequence != 0 && pump.errorCounter == 0) break;
    }
    ASSERT_EQ(pump.errorCounter, 0);
    EXPECT_EQ(pump.configured, 1);
    EXPECT_EQ(statusOf(7).configured, 0);
    EXPECT_GE(pump.pollsAccepted, 1u);
    EXPECT_EQ(pump.consecutiveFailures, 0u);

    // The poll's time lies between the request that began it and the member's next one.
    FILETIME now{};
    CoFileTimeNow(&now);
    const auto steadyNow = std::chrono::steady_clock::now();
    auto ticks = [](const FILETIME& t) {
        return (static_cast<std::int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const auto pollAge = std::chrono::microseconds((ticks(now) - ticks(pump.lastGoodPoll)) / 10);
    const auto pollTime = steadyNow - pollAge;
    std::vector<kvx::platform::MonoTime> requests;
    for (const auto& frame : sim.frames()) {
        if (frame.address == kAddress && frame.kind == kvx::sim::FrameKind::Read) {
            requests.push_back(frame.when);
        }
    }
    ASSERT_FALSE(requests.empty());
    auto before = std::find_if(requests.rbegin(), requests.rend(),
                               [&](kvx::platform::MonoTime t) { return t <= pollTime; });
    ASSERT_NE(before, requests.rend()) << "the poll time lies before every request";
    EXPECT_LT(pollTime - *before, 2s);

    // Host threads read the figures and wait for polls while the thread polls.
    std::atomic<bool> done{false};
    std::vector<std::thread> hosts;
    for (int i = 0; i < 8; ++i) {
        hosts.emplace_back([&, i] {
            std::uint64_t last = 0;
            while (!done.load()) {
                if (i % 2 == 0) {
                    last = waitForPoll(last, 100);
                } else {
                    FenloBusStatus b{};
                    b.size = sizeof(b);
                    bus(&b);
                    statusOf(static_cast<std::uint32_t>(i));
                }
            }
        });
    }

    // Writes are counted by what became of them.
    VARIANT count;
    VariantInit(&count);
    count.vt = VT_I2;
    count.value.iVal = 7;
    write(plugin, "Values.Count", count);
    writeText(plugin, "Values.Mask", u"ZZ");
    pump = statusOf(kAddress);
    EXPECT_EQ(pump.writesAcknowledged, 1u);
    EXPECT_EQ(pump.writesRefused, 1u);

    // A silent member: each failed poll is counted, consecutive failures follow the counter.
    kvx::sim::Faults silent;
    silent.silence = 1.0;
    sim.setFaults(kAddress, silent);
    const std::uint64_t failedBefore = statusOf(kAddress).pollsFailed;
    const auto silentUntil = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < silentUntil &&
           statusOf(kAddress).consecutiveFailures < 3) {
        seen = waitForPoll(seen, 2000);
    }
    pump = statusOf(kAddress);
    EXPECT_GE(pump.consecutiveFailures, 3u);
    EXPECT_EQ(pump.pollsFailed - failedBefore, pump.consecutiveFailures);
    EXPECT_EQ(static_cast<std::uint32_t>(pump.errorCounter),
              std::min(pump.consecutiveFailures, 10u));
    sim.clearFaults(kAddress);

    done = true;
    for (std::thread& host : hosts) host.join();
    FenloBusStatus b{};
    b.size = sizeof(b);
    ASSERT_EQ(bus(&b), 1);
    EXPECT_EQ(std::string(b.port), sim.devicePath());
    EXPECT_EQ(b.polling, 1u);
    EXPECT_GE(b.cycles, 1u);
    EXPECT_GT(b.lastCycleMicros, 0u);
    EXPECT_GE(b.exchanges, pump.pollsAccepted + pump.pollsFailed);
    EXPECT_GE(b.failedExchanges, pump.pollsFailed);
    EXPECT_GE(b.pollSequence, seen);

    // Once stopped, a wait ends at its time-out with the sequence unchanged.
    plugin.Stop();
    ASSERT_EQ(bus(&b), 1);
    const std::uint64_t stopped = b.pollSequence;
    EXPECT_EQ(waitForPoll(stopped, 50), stopped);
}
