// The plug-in as a host loads it: the shared library, its five entry points, the server
// description in place, the namespace callbacks and request batches through the C interface.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver_test_support.h"
#include "fenlodrv/oleauto.h"
#include "fenlodrv/plugin_abi.h"
#include "kvx/platform/shared_library.h"

namespace {

using kvx::testing::CallbackRecorder;
using kvx::testing::ScratchDir;
using kvx::testing::TagLine;
using ::testing::ElementsAre;

struct Exports {
    SOXpSInitializeFn initialize = nullptr;
    SOXpSBuildDANameSpaceFn build = nullptr;
    SOXpSStartFn start = nullptr;
    SOXpSStopFn stop = nullptr;
    SOXpSHandleDARequestsFn handle = nullptr;
};

class AbiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kvx::testing::UseInstallDir(dir.path());
        std::string error;
        ASSERT_TRUE(library.open(FENLODRV_PATH, error)) << error;
        exports.initialize = reinterpret_cast<SOXpSInitializeFn>(library.symbol("SOXpSInitialize"));
        exports.build =
            reinterpret_cast<SOXpSBuildDANameSpaceFn>(library.symbol("SOXpSBuildDANameSpace"));
        exports.start = reinterpret_cast<SOXpSStartFn>(library.symbol("SOXpSStart"));
        exports.stop = reinterpret_cast<SOXpSStopFn>(library.symbol("SOXpSStop"));
        exports.handle =
            reinterpret_cast<SOXpSHandleDARequestsFn>(library.symbol("SOXpSHandleDARequests"));
        ASSERT_NE(exports.initialize, nullptr);
        ASSERT_NE(exports.build, nullptr);
        ASSERT_NE(exports.start, nullptr);
        ASSERT_NE(exports.stop, nullptr);
        ASSERT_NE(exports.handle, nullptr);
    }
    void TearDown() override {
        if (exports.stop != nullptr) exports.stop();
    }
    void browse() { exports.build(&CallbackRecorder::AddNode, &CallbackRecorder::AddTag, 0); }

    ScratchDir dir;
    kvx::platform::SharedLibrary library;
    Exports exports;
    CallbackRecorder recorder;
};

template <typename T>
T at(const SOXpSServerDescription* d, std::size_t offset) {
    T value{};
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(d) + offset, sizeof(T));
    return value;
}

TEST_F(AbiTest, InternalNamesAreNotExported) {
    EXPECT_EQ(library.symbol("_ZN3kvx6driver6NotifyESt17basic_string_viewIcSt11char_traitsIcEES4_"),
              nullptr);
}

TEST_F(AbiTest, ServerDescriptionReadInPlaceAtItsOffsets) {
    const SOXpSServerDescription* d = exports.initialize(1, 2, 3);
    ASSERT_NE(d, nullptr);
    const std::size_t p = sizeof(void*);
    EXPECT_STREQ(at<const char*>(d, 16), "Korvex.OPC_Server.2");
    EXPECT_STREQ(at<const char*>(d, 16 + p), "Korvex.OPC_Server");
    EXPECT_STREQ(at<const char*>(d, 16 + 2 * p), "Korvex OPC Server");
    EXPECT_EQ(at<std::uint32_t>(d, 16 + 3 * p), 10000u);
    for (std::size_t i = 0; i < 28; ++i) EXPECT_EQ(at<std::uint8_t>(d, 20 + 3 * p + i), 0) << i;
    EXPECT_EQ(at<std::uint16_t>(d, 48 + 3 * p), 2);
    EXPECT_EQ(at<std::uint16_t>(d, 50 + 3 * p), 10);
    EXPECT_EQ(at<std::uint16_t>(d, 52 + 3 * p), 16);
    EXPECT_STREQ(at<const char*>(d, 54 + 3 * p), "Korvex germany");
    EXPECT_EQ(at<std::uint32_t>(d, 54 + 4 * p), 1u);
    EXPECT_STREQ(at<const char*>(d, 58 + 4 * p), "Korvex OPC Server V:2.02.01");
    EXPECT_EQ(at<std::uint32_t>(d, 58 + 5 * p), 101u);
    for (std::size_t i = 0; i < 26; ++i) EXPECT_EQ(at<std::uint8_t>(d, 62 + 5 * p + i), 0) << i;
    EXPECT_EQ(at<std::uint32_t>(d, 88 + 5 * p), 4096u);
    EXPECT_EQ(at<std::uint32_t>(d, 92 + 5 * p), 4096u);
    // The record stays where it is: a second call returns the same address.
    EXPECT_EQ(exports.initialize(0, 0, 0), d);
}

TEST_F(AbiTest, NamespaceThroughTheCallbacksWithHandlesAsUserData) {
    dir.write("a.cfg", "node\tname=Analog\t\n" +
                           TagLine("name=Temp\taccess=rw\tdtype=long\treadoffset=0\tlength=4"
                                   "\tfscale=1"));
    dir.write("fenlodrv.ini", "[SLAVE03]\nCFG=a.cfg\n[SLAVE10]\nCFG=a.cfg\n");
    exports.initialize(0, 0, 0);
    browse();
    ASSERT_EQ(recorder.lines().size(), 20u);
    EXPECT_EQ(recorder.lines()[0], "node ADR03");
    EXPECT_EQ(recorder.lines()[10], "node ADR10");
    std::vector<std::uint32_t> handles;
    for (const auto& call : recorder.calls) {
        if (call.isTag) handles.push_back(call.userData);
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::adjacent_find(handles.begin(), handles.end()), handles.end());
    EXPECT_EQ(handles.front() != 0u, true);
}

TEST_F(AbiTest, BatchesAfterStopAnswerStaleHandlesAsUnknown) {
    dir.write("a.cfg", TagLine("name=Level\taccess=rw\tdtype=int\treadoffset=0\tlength=2"));
    dir.write("fenlodrv.ini", "[RS232]\nCOM=/nonexistent/kvx-port\n[SLAVE03]\nCFG=a.cfg\n");
    exports.initialize(0, 0, 0);
    browse();
    const std::uint32_t level = recorder.tag("ADR03.Level")->userData;
    ASSERT_EQ(exports.start(), 1);

    SOXpSRequest r;
    std::memset(static_cast<void*>(&r), 0, sizeof(r));
    r.value.vt = VT_I2;
    r.userData = level;
    exports.handle(SOXPS_READ, 1, &r);
    EXPECT_EQ(+r.completion, 2u);
    EXPECT_EQ(+r.quality, 0);  // nothing polled yet

    exports.stop();
    std::memset(static_cast<void*>(&r), 0, sizeof(r));
    r.value.vt = VT_I2;
    r.value.value.iVal = 77;
    r.quality = 192;
    r.userData = level;
    exports.handle(SOXPS_READ, 1, &r);
    EXPECT_EQ(+r.completion, 2u);
    EXPECT_EQ(+r.quality, 0);
    EXPECT_EQ(+r.value.value.iVal, 77);
    r.completion = 0;
    exports.handle(SOXPS_WRITE, 1, &r);
    EXPECT_EQ(+r.completion, 2u);
}

TEST_F(AbiTest, IniIsSearchedInTheInstallationDirectoryBeforeThePath) {
    ScratchDir onPath;
    dir.write("a.cfg", "fetch1\tdesadr=0\tbytes=2\t\n");
    onPath.write("FENLODRV.INI", "[SLAVE01]\nCFG=a.cfg\n");
    dir.write("FenloDrv.Ini", "[SLAVE02]\nCFG=a.cfg\n");
    kvx::testing::SetEnv("PATH", onPath.path().string());

    exports.initialize(0, 0, 0);
    browse();
    EXPECT_THAT(recorder.lines(), ElementsAre("node ADR02", "tag ADR02.DEVICE_ID 8 1"));

    std::filesystem::remove(dir.path() / "FenloDrv.Ini");
    recorder.calls.clear();
    exports.initialize(0, 0, 0);
    browse();
    EXPECT_THAT(recorder.lines(), ElementsAre("node ADR01", "tag ADR01.DEVICE_ID 8 1"));
}

}  // namespace
