// Entry points of the plug-in object: initialisation, start and stop, and the dispatch of
// request batches with item handles.

#include "plugin.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver_test_support.h"
#include "fenlodrv/oleauto.h"

namespace kvx::driver {
namespace {

using kvx::testing::CallbackRecorder;
using kvx::testing::RecordingNotifier;
using kvx::testing::ScratchDir;
using kvx::testing::TagLine;
using ::testing::HasSubstr;

std::uint64_t stampOf(const SOXpSRequest& record) {
    FILETIME t{};
    std::memcpy(&t, reinterpret_cast<const unsigned char*>(&record) + 38, sizeof(t));
    return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

SOXpSRequest recordFor(std::uint32_t handle, VARTYPE vt) {
    SOXpSRequest r;
    std::memset(static_cast<void*>(&r), 0xAB, sizeof(r));
    VariantInit(&r.value);
    r.value.vt = vt;
    r.userData = handle;
    return r;
}

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kvx::testing::UseInstallDir(dir.path());
        dir.write("a.cfg", "fetch1\tdesadr=0\tbytes=8\t\n" +
                               TagLine("name=Level\taccess=rw\tdtype=int\treadoffset=0\tlength=2") +
                               TagLine("name=Temp\taccess=rw\tdtype=float\treadoffset=2\tlength=4"
                                       "\tfscale=1\tfactor=1"));
    }
    void initAndBuild(const std::string& ini) {
        dir.write("fenlodrv.ini", ini);
        plugin.Initialize();
        plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag);
    }
    std::uint32_t handle(const std::string& path) {
        const auto* tag = recorder.tag(path);
        EXPECT_NE(tag, nullptr) << path;
        return tag != nullptr ? tag->userData : 0;
    }

    ScratchDir dir;
    RecordingNotifier notes;
    CallbackRecorder recorder;
    Plugin plugin;
};

TEST_F(PluginTest, VersionTextIsFormattedFromTheInstallationSettings) {
    EXPECT_STREQ(plugin.description().versionText, "Korvex OPC Server V2.02");
    const SOXpSServerDescription* d = plugin.Initialize();
    ASSERT_EQ(d, &plugin.description());
    EXPECT_STREQ(d->versionText, "Korvex OPC Server V:2.02.01");

    const auto conf = dir.write("server.conf", "[OPC Server]\nVersion=3.1.4\n");
    ::setenv("KORVEX_OPC_SERVER_CONF", conf.c_str(), 1);
    EXPECT_STREQ(plugin.Initialize()->versionText, "Korvex OPC Server V:3.1.4");

    // A version text longer than the buffer is cut, never written past it.
    dir.write("server.conf", "[OPC Server]\nVersion=" + std::string(400, 'x') + "\n");
    const std::string text = plugin.Initialize()->versionText;
    EXPECT_EQ(text.size(), kVersionTextCapacity - 1);
    EXPECT_EQ(text.rfind("Korvex OPC Server V:xxx", 0), 0u);
}

TEST_F(PluginTest, InitializeReadsWaitAndFindsTheIniInTheInstallationDirectory) {
    initAndBuild("[KXBUS]\nWAIT=250\n");
    EXPECT_EQ(plugin.state().cyclePauseMs, 250);
    EXPECT_EQ(plugin.state().iniPath.filename(), "fenlodrv.ini");
    EXPECT_EQ(plugin.state().iniPath.parent_path(), dir.path());
    EXPECT_EQ(plugin.state().scalingTablePath, dir.path() / "FreeScale.dat");
}

TEST_F(PluginTest, EmptyBatchChangesNothing) {
    initAndBuild("[SLAVE03]\nCFG=a.cfg\n");
    SOXpSRequest r = recordFor(handle("ADR03.Level"), VT_I2);
    const SOXpSRequest before = r;
    EXPECT_EQ(plugin.HandleRequests(SOXPS_READ, 0, &r), 0);
    EXPECT_EQ(plugin.HandleRequests(SOXPS_WRITE, 0, &r), 0);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0);
    EXPECT_EQ(plugin.HandleRequests(SOXPS_READ, 3, nullptr), 0);
}

TEST_F(PluginTest, ReadsGetTimeQualityAndCompletionByTheMembersErrorCounter) {
    initAndBuild("[SLAVE03]\nCFG=a.cfg\n");
    SOXpSRequest batch[3] = {recordFor(handle("ADR03.Level"), VT_I2),
                             recordFor(handle("ADR03.DEVICE_ID"), VT_BSTR),
                             recordFor(handle("ADR03.Temp_end"), VT_R8)};
    FILETIME now{};
    CoFileTimeNow(&now);
    const std::uint64_t before = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;

    plugin.HandleRequests(SOXPS_READ, 3, batch);
    for (const SOXpSRequest& r : batch) {
        EXPECT_EQ(+r.completion, 2u);
        EXPECT_GE(stampOf(r), before);
        EXPECT_LT(stampOf(r), before + 600000000ULL);  // within a minute
        // The host's own fields stay as they were.
        EXPECT_EQ(r.hostReserved1[0], 0xAB);
        EXPECT_EQ(r.hostReserved2[3], 0xAB);
    }
    // Error counter 10 after the build: bad; scaling properties are always good.
    EXPECT_EQ(+batch[0].quality, 0);
    EXPECT_EQ(+batch[1].quality, 0);
    EXPECT_EQ(+batch[2].quality, 192);

    plugin.state().members[3].errorCounter = 9;
    plugin.HandleRequests(SOXPS_READ, 2, batch);
    EXPECT_EQ(+batch[0].quality, 192);
    EXPECT_EQ(+batch[1].quality, 192);
    for (SOXpSRequest& r : batch) VariantClear(&r.value);
}

TEST_F(PluginTest, UnknownHandlesAreItemsOfAnyOtherKind) {
    initAndBuild("[SLAVE03]\nCFG=a.cfg\n");
    const std::uint32_t valid = handle("ADR03.Level");
    const std::uint32_t forged[] = {0u, 0xFFFFFFFFu, valid + 1000u, valid ^ 0x80000000u,
                                    (valid & kHandleIndexMask) | 0x00F00000u};
    for (std::uint32_t h : forged) {
        SOXpSRequest r = recordFor(h, VT_I2);
        r.value.value.iVal = 1234;
        plugin.HandleRequests(SOXPS_READ, 1, &r);
        EXPECT_EQ(+r.quality, 0) << h;
        EXPECT_EQ(+r.completion, 2u);
        EXPECT_EQ(+r.value.vt, VT_I2);
        EXPECT_EQ(+r.value.value.iVal, 1234);

        SOXpSRequest w = recordFor(h, VT_I2);
        w.quality = SOXPS_WRITE_PENDING;
        const SOXpSRequest before = w;
        plugin.HandleRequests(SOXPS_WRITE, 1, &w);
        EXPECT_EQ(+w.completion, 2u);
        EXPECT_EQ(+w.quality, SOXPS_WRITE_NOT_WRITABLE);
        w.completion = before.completion;
        w.quality = before.quality;
        EXPECT_EQ(std::memcmp(&w, &before, sizeof(w)), 0);
    }
    EXPECT_FALSE(plugin.state().priority.pending.load());
}

TEST_F(PluginTest, DataTagWriteMakesItsMemberThePriorityMember) {
    initAndBuild(
        "[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n[SLAVE05]\nCFG=a.cfg\n");
    // Only a member whose last poll was accepted is polled next: a silent one would cost the
    // others a whole answer time-out per write.
    plugin.state().members[5].errorCounter = 0;
    plugin.state().members[3].errorCounter = 1;
    SOXpSRequest w = recordFor(handle("ADR05.Level"), VT_I2);
    w.value.value.iVal = 7;
    plugin.HandleRequests(SOXPS_WRITE, 1, &w);
    EXPECT_EQ(+w.completion, 2u);
    EXPECT_EQ(+w.quality, SOXPS_WRITE_NO_COMMUNICATION);  // the port does not exist
    EXPECT_TRUE(plugin.state().priority.pending.load());
    EXPECT_EQ(plugin.state().priority.address.load(), 5);
    SOXpSRequest failing = recordFor(handle("ADR03.Level"), VT_I2);
    failing.value.value.iVal = 7;
    plugin.HandleRequests(SOXPS_WRITE, 1, &failing);
    EXPECT_EQ(plugin.state().priority.address.load(), 5);

    // A property write is no data-tag write.
    plugin.state().priority.pending = false;
    plugin.state().priority.address = 0;
    recorder.calls.clear();
    initAndBuild("[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n");
    SOXpSRequest p = recordFor(handle("ADR03.Temp_factor"), VT_R8);
    p.value.value.dblVal = 2.0;
    plugin.HandleRequests(SOXPS_WRITE, 1, &p);
    EXPECT_EQ(+p.completion, 2u);
    EXPECT_FALSE(plugin.state().priority.pending.load());
}

// The write scaling of a freely scaled tag must not touch the host's record: a text sent to
// it stays the host's text, which the host frees after the batch.
TEST_F(PluginTest, ScaledWriteLeavesTheHostsTextAsSent) {
    initAndBuild("[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n");
    SOXpSRequest w = recordFor(handle("ADR03.Temp"), VT_BSTR);
    const std::u16string text = u"12.5";
    const BSTR sent = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                        static_cast<std::uint32_t>(text.size()));
    w.value.value.bstrVal = sent;
    plugin.HandleRequests(SOXPS_WRITE, 1, &w);
    EXPECT_EQ(+w.completion, 2u);
    VARIANT after;
    std::memcpy(static_cast<void*>(&after), &w.value, sizeof(VARIANT));
    EXPECT_EQ(after.vt, VT_BSTR);
    EXPECT_EQ(after.value.bstrVal, sent);
    VariantClear(&after);
}

TEST_F(PluginTest, HandlesOfAStoppedPluginAreUnknownAlsoAfterARebuild) {
    initAndBuild("[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n");
    const std::uint32_t old = handle("ADR03.DEVICE_ID");
    plugin.state().members[3].errorCounter = 0;
    plugin.Start();
    plugin.Stop();
    EXPECT_TRUE(plugin.state().items.get()->nodes.empty());

    SOXpSRequest r = recordFor(old, VT_BSTR);
    plugin.HandleRequests(SOXPS_READ, 1, &r);
    EXPECT_EQ(+r.quality, 0);
    EXPECT_EQ(+r.value.vt, VT_BSTR);
    EXPECT_EQ(+r.completion, 2u);
    SOXpSRequest w = recordFor(old, VT_BSTR);
    plugin.HandleRequests(SOXPS_WRITE, 1, &w);
    EXPECT_EQ(+w.completion, 2u);

    // The rebuilt namespace has the same layout, so the same index: still unknown.
    recorder.calls.clear();
    plugin.Initialize();
    plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag);
    const std::uint32_t fresh = handle("ADR03.DEVICE_ID");
    EXPECT_EQ(fresh & kHandleIndexMask, old & kHandleIndexMask);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(FindNode(*plugin.state().items.get(), old), nullptr);
    EXPECT_NE(FindNode(*plugin.state().items.get(), fresh), nullptr);
}

TEST_F(PluginTest, ValueErrorIsReportedOncePerTagAndAgainAfterARebuild) {
    // A raw value of -32768 times 1e38 is below the float range: negative infinity.
    dir.write("b.cfg", TagLine("name=Huge\taccess=r\tdtype=float\treadoffset=0\tlength=2"
                               "\tfactor=1e38"));
    initAndBuild("[SLAVE03]\nCFG=b.cfg\n");
    auto readHuge = [this] {
        plugin.state().image[3][0] = 0x80;
        plugin.state().image[3][1] = 0x00;
        SOXpSRequest r = recordFor(handle("ADR03.Huge"), VT_R4);
        plugin.HandleRequests(SOXPS_READ, 1, &r);
        EXPECT_EQ(+r.completion, 2u);
    };
    auto reports = [this] {
        int n = 0;
        for (const auto& m : notes.messages()) n += m.text == "Fehler in Tag" ? 1 : 0;
        return n;
    };
    readHuge();
    readHuge();
    EXPECT_EQ(reports(), 1);
    plugin.Stop();
    recorder.calls.clear();
    plugin.BuildNamespace(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag);
    readHuge();
    EXPECT_EQ(reports(), 2);
}

// Hosts keep records in packed arrays at any address; run under the undefined-behaviour
// checker this catches a handler that reads a misaligned number.
TEST_F(PluginTest, RecordsAtOddAddressesAreServed) {
    initAndBuild("[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n");
    alignas(8) unsigned char buffer[1 + 3 * sizeof(SOXpSRequest)] = {};
    SOXpSRequest batch[3] = {recordFor(handle("ADR03.Level"), VT_I2),
                             recordFor(handle("ADR03.Temp_factor"), VT_R8),
                             recordFor(handle("ADR03.Temp"), VT_R4)};
    batch[0].value.value.iVal = 300;
    batch[1].value.value.dblVal = 4.0;
    batch[2].value.value.fltVal = 12.5f;
    std::memcpy(buffer + 1, batch, sizeof(batch));
    auto* records = reinterpret_cast<SOXpSRequest*>(buffer + 1);
    plugin.HandleRequests(SOXPS_WRITE, 3, records);
    plugin.HandleRequests(SOXPS_READ, 3, records);
    std::memcpy(batch, buffer + 1, sizeof(batch));
    for (const SOXpSRequest& r : batch) EXPECT_EQ(+r.completion, 2u);
    EXPECT_EQ(+batch[1].quality, 192);
    EXPECT_EQ(+batch[1].value.vt, VT_R8);
    EXPECT_EQ(+batch[1].value.value.dblVal, 4.0);  // the factor written before
}

TEST_F(PluginTest, GenerationsWrapWithoutEverMakingHandleZero) {
    EXPECT_EQ(NextGeneration(kGenerationMask), 1u);
    EXPECT_EQ(NextGeneration(1), 2u);
    EXPECT_NE(MakeHandle(kGenerationMask, 0), 0u);
    EXPECT_EQ(MakeHandle(1, 0) & kHandleIndexMask, 1u);
}

TEST_F(PluginTest, SecondStartStartsNoSecondThread) {
    initAndBuild("[RS232]\nCOM=/nonexistent/kvx-port\n");
    EXPECT_EQ(plugin.Start(), 1);
    EXPECT_TRUE(plugin.pollingRunning());
    EXPECT_EQ(plugin.Start(), 1);
    EXPECT_TRUE(plugin.pollingRunning());
    plugin.Stop();
    EXPECT_FALSE(plugin.pollingRunning());
    // Stop twice and a start after it work as well.
    plugin.Stop();
    EXPECT_EQ(plugin.Start(), 1);
    EXPECT_TRUE(plugin.pollingRunning());
    plugin.Stop();
    EXPECT_FALSE(plugin.pollingRunning());
}

TEST_F(PluginTest, StartHoldsThePortNameWhole) {
    initAndBuild("[RS232]\nCOM=COM12\n");
    plugin.Start();
    EXPECT_EQ(plugin.state().bus.portName(), "COM12");
    plugin.Stop();
    EXPECT_TRUE(notes.messages().empty());

    dir.write("fenlodrv.ini", "[RS232]\nCOM=/dev/" + std::string(300, 'p') + "\n");
    plugin.Start();
    EXPECT_EQ(plugin.state().bus.portName(), "COM1");
    plugin.Stop();
    ASSERT_EQ(notes.messages().size(), 1u);
    EXPECT_THAT(notes.messages()[0].text, HasSubstr("255"));
}

TEST_F(PluginTest, WritesBeforeStartAndAfterStopAreSafe) {
    initAndBuild("[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n");
    SOXpSRequest w = recordFor(handle("ADR03.Level"), VT_I2);
    w.value.value.iVal = 100;
    plugin.HandleRequests(SOXPS_WRITE, 1, &w);  // before Start
    EXPECT_EQ(+w.completion, 2u);
    plugin.Start();
    plugin.Stop();
    w.completion = 0;
    plugin.HandleRequests(SOXPS_WRITE, 1, &w);  // after Stop: an unknown handle
    EXPECT_EQ(+w.completion, 2u);
}

// How much of an answer the bus link checks comes from [KXBUS] ANSWERCHECK when polling
// starts; a value that is no level is told, and the default is used.
TEST_F(PluginTest, AnswerCheckComesFromTheIniWhenPollingStarts) {
    using kvx::bus::AnswerCheck;
    const std::pair<const char*, AnswerCheck> levels[] = {
        {"", AnswerCheck::AddressesAndData},
        {"ANSWERCHECK=0\n", AnswerCheck::StartAndEnd},
        {"ANSWERCHECK=2\n", AnswerCheck::Full},
        {"ANSWERCHECK=7\n", AnswerCheck::AddressesAndData},
    };
    for (const auto& [line, check] : levels) {
        SCOPED_TRACE(line);
        const std::size_t before = notes.messages().size();
        initAndBuild(std::string("[RS232]\nCOM=/nonexistent/kvx-port\n[KXBUS]\nWAIT=0\n") + line);
        plugin.Start();
        plugin.Stop();
        EXPECT_EQ(plugin.state().bus.answerCheck(), check);
        const bool told = std::string(line) == "ANSWERCHECK=7\n";
        bool iniError = false;
        const auto messages = notes.messages();
        for (std::size_t i = before; i < messages.size(); ++i) {
            const auto& message = messages[i];
            iniError = iniError || (message.caption == "ZAN KVX-OPC-Server INI-ERROR" &&
                                    message.text.find("ANSWERCHECK=7") != std::string::npos);
        }
        EXPECT_EQ(iniError, told);
    }
}

}  // namespace
}  // namespace kvx::driver
