// The scan against simulated members on a pseudo-terminal: outcomes, retries, type matching,
// Cancel, a lost port, the .cfg loading failures and the request delays from LINKSPY.INI.

#include <gtest/gtest.h>

#include "kvx/platform/serial_device.h"
#include "tool_fixture.h"

namespace kvx::scantool::testing {
namespace {

constexpr const char* kIniCaption = "ZAN LINKSPY INI-ERROR";
constexpr const char* kIniMissing = "Can\xB4t found the LINKSPY.INI file!";

class ScanTest : public ToolTest {
  protected:
    void StandardTypes() {
        dir_.write("typea.cfg", CfgText(16, 16, {{0, 6, "KVXA10", "SENSOR1"}}));
        dir_.write("typeb.cfg", CfgText(16, 16, {{0, 6, "KVXB20", "PumpControl"}}));
    }
    const std::string& Line(int a) { return Tool().memberList().at(static_cast<std::size_t>(a)); }
};

TEST_F(ScanTest, EmptyBusProbesEveryAddressThreeTimes) {
    WriteIni();
    StandardTypes();
    Tool().OnScan();
    ASSERT_TRUE(Tool().lastScanCompleted()) << fe_.AllMessages();
    ASSERT_EQ(Tool().memberList().size(), 32u);
    EXPECT_EQ(Line(0), "Adr. 00:\t-----\t-----");
    EXPECT_EQ(Line(9), "Adr. 09:\t-----\t-----");
    EXPECT_EQ(Line(31), "Adr. 31:\t-----\t-----");
    ASSERT_TRUE(sim_.waitForFrames(96, std::chrono::milliseconds(1000)));
    for (int a : {0, 17, 31}) EXPECT_EQ(FramesTo(a), 3u) << a;
    EXPECT_EQ(sim_.frames().size(), 96u);
    // Every probe is the 10-byte read of 10 bytes at data address 0.
    for (const auto& f : sim_.frames()) {
        EXPECT_EQ(f.dataAddress, 0);
        EXPECT_EQ(f.byteCount, 10);
    }
    EXPECT_TRUE(Tool().enabled(Button::Generate));
    EXPECT_FALSE(Tool().enabled(Button::Test));
    EXPECT_FALSE(Tool().enabled(Button::Report));
    EXPECT_TRUE(Tool().enabled(Button::Scan));
    EXPECT_TRUE(Tool().enabled(Button::Com));
    EXPECT_FALSE(Tool().busy());
    EXPECT_TRUE(fe_.messages.empty()) << fe_.AllMessages();
    // The percentage follows the addresses and ends at 100%.
    ASSERT_FALSE(fe_.percentTexts.empty());
    EXPECT_EQ(fe_.percentTexts.front(), " 0 %");
    EXPECT_EQ(fe_.percentTexts.back(), "100%");
    EXPECT_NE(std::find(fe_.percentTexts.begin(), fe_.percentTexts.end(), "50%"),
              fe_.percentTexts.end());
}

TEST_F(ScanTest, FoundMembersGetNameAndFileAndTheFirstListedTypeWins) {
    WriteIni();
    StandardTypes();
    // A third type that matches the member at address 5 as well, listed after typeb.cfg.
    dir_.write("typec.cfg", CfgText(16, 16, {{0, 6, "KVXB20", "LaterType"}}));
    Member(1, 16, "KVXA10");
    Member(5, 16, "KVXB20");
    Member(6, 16, "KV B20");  // the blank is removed before the compare
    Tool().OnScan();
    ASSERT_TRUE(Tool().lastScanCompleted()) << fe_.AllMessages();
    EXPECT_EQ(Line(1), "Adr. 01:\tSENSOR1\ttypea.cfg");
    EXPECT_EQ(Line(5), "Adr. 05:\tPumpControl\ttypeb.cfg");
    EXPECT_EQ(Line(6), "Adr. 06:\tNo .cfg file for this Member!");
    EXPECT_EQ(Tool().foundMembers(), 2);
    const auto& e = Tool().scanTable()[5];
    EXPECT_TRUE(e.present);
    EXPECT_EQ(e.memberName, "PumpControl");
    EXPECT_EQ(e.cfgFileName, "typeb.cfg");
    // Member 1: the probe answered with 21 bytes and the first type matched at once.
    ASSERT_TRUE(sim_.waitForFrames(1, 2, std::chrono::milliseconds(500)));
    EXPECT_EQ(sim_.frameCount(1), 2u);
    const auto frames = sim_.frames();
    int typeReads = 0;
    for (const auto& f : frames) {
        if (f.address == 1 && f.byteCount == 16) {
            EXPECT_EQ(f.dataAddress, 16);
            ++typeReads;
        }
    }
    EXPECT_EQ(typeReads, 1);
    EXPECT_TRUE(Tool().enabled(Button::Test));
    EXPECT_TRUE(Tool().enabled(Button::Generate));
}

TEST_F(ScanTest, UnknownMemberIsTriedThreeTimesWithEveryType) {
    WriteIni();
    StandardTypes();
    Member(7, 16, "OTHER1");
    Tool().OnScan();
    EXPECT_EQ(Line(7), "Adr. 07:\tNo .cfg file for this Member!");
    EXPECT_FALSE(Tool().scanTable()[7].present);
    EXPECT_EQ(Tool().scanTable()[7].cfgFileName, "");
    ASSERT_TRUE(sim_.waitForFrames(7, 9, std::chrono::milliseconds(500)));
    EXPECT_EQ(sim_.frameCount(7), 9u);  // three attempts: probe and two type reads each
    EXPECT_EQ(Tool().foundMembers(), 0);
    EXPECT_FALSE(Tool().enabled(Button::Test));
}

TEST_F(ScanTest, TypeReadsOfTenBytesMeanNoType) {
    WriteIni();
    // The identification block is as long as the probe, and every answer lacks 11 bytes: the
    // probe still passes with 10 bytes, every type read gives 10.
    dir_.write("short.cfg", CfgText(16, 10, {{0, 6, "KVXS10", "Short"}}));
    Member(3, 16, "KVXS10");
    kvx::sim::Faults f;
    f.shortAnswer = {1.0, 11};
    sim_.setFaults(3, f);
    Tool().OnScan();
    EXPECT_EQ(Line(3), "Adr. 03:\tNo .cfg file for this Member!");
    ASSERT_TRUE(sim_.waitForFrames(3, 6, std::chrono::milliseconds(500)));
    EXPECT_EQ(sim_.frameCount(3), 6u);
}

TEST_F(ScanTest, ProbeOfFiveBytesTwiceIsNoDefinedSignal) {
    WriteIni();
    StandardTypes();
    Member(4, 16, "KVXA10");
    kvx::sim::Faults f;
    f.shortAnswer = {1.0, 16};  // 21 - 16 = 5 bytes
    sim_.setFaults(4, f);
    Tool().OnScan();
    EXPECT_EQ(Line(4), "Adr. 04:\tNo defined Signal!");
    EXPECT_EQ(Tool().scanTable()[4].memberName, "No defined Signal!");
    EXPECT_FALSE(Tool().scanTable()[4].present);
    ASSERT_TRUE(sim_.waitForFrames(4, 2, std::chrono::milliseconds(500)));
    EXPECT_EQ(sim_.frameCount(4), 2u);
}

TEST_F(ScanTest, GarbledThenNoTypeIsNoDefinedSignal) {
    WriteIni();
    StandardTypes();
    Member(8, 16, "OTHER1");
    kvx::sim::Faults f;
    f.shortAnswer = {1.0, 16};
    sim_.setFaults(8, f);
    // The second attempt gets a clean answer, but no type matches it.
    fe_.onPump = [&](ProgressWindow&) {
        if (Tool().currentAddress() == 8 && sim_.frameCount(8) >= 1) sim_.clearFaults(8);
    };
    Tool().OnScan();
    EXPECT_EQ(Line(8), "Adr. 08:\tNo defined Signal!");
    ASSERT_TRUE(sim_.waitForFrames(8, 4, std::chrono::milliseconds(500)));
    EXPECT_EQ(sim_.frameCount(8), 4u);  // garbled probe; probe and two type reads
}

TEST_F(ScanTest, FoundAfterARetryLeavesTheNextAddressItsFullRetries) {
    WriteIni();
    StandardTypes();
    Member(10, 16, "KVXA10");
    kvx::sim::Faults silent;
    silent.silence = 1.0;
    sim_.setFaults(10, silent);
    fe_.onPump = [&](ProgressWindow&) {
        if (Tool().currentAddress() == 10 && sim_.frameCount(10) >= 1) sim_.clearFaults(10);
    };
    Tool().OnScan();
    EXPECT_EQ(Line(10), "Adr. 10:\tSENSOR1\ttypea.cfg");
    EXPECT_EQ(FramesTo(10), 3u);  // silent probe, then probe and type read
    EXPECT_EQ(FramesTo(11), 3u);
    EXPECT_EQ(Line(11), "Adr. 11:\t-----\t-----");
}

TEST_F(ScanTest, AlternativeEntriesOnTheBus) {
    WriteIni();
    dir_.write(
        "alt.cfg",
        CfgText(0, 32, {{0, 2, "A1", "NameA1"}, {0, 2, "A2", "NameA2"}, {8, 1, "B", "NameB"}}));
    Member(1, 0, "A2");
    Member(1, 8, "B");
    Member(2, 0, "A1");
    Member(2, 8, "B");
    Member(3, 0, "A3");
    Member(3, 8, "B");
    Tool().OnScan();
    EXPECT_EQ(Line(1), "Adr. 01:\tNameA2\talt.cfg");
    EXPECT_EQ(Line(2), "Adr. 02:\tNameA1\talt.cfg");
    EXPECT_EQ(Line(3), "Adr. 03:\tNo .cfg file for this Member!");
}

TEST_F(ScanTest, AnOverlongAnswerStaysInItsOwnExchange) {
    // Member 9 is faulty, member 10 healthy, both of one type; the request delay is 45 ms.
    // Each answer comes whole, surplus included: a paced answer can stall on a loaded
    // machine for longer than the tool waits after a complete answer. (The late answer,
    // which is a matter of timing alone, is checked on the tool's bus access.)
    WriteIni(45);
    dir_.write("typea.cfg", CfgText(16, 16, {{0, 6, "KVXA10", "SENSOR1"}}));
    Member(9, 16, "KVXA10");
    Member(10, 16, "KVXA10");
    const std::string found10 = "Adr. 10:\tSENSOR1\ttypea.cfg";

    // Three bytes too many: member 9's answers hold all that was asked for, the rest is
    // dropped and member 10 is judged on its own answers.
    kvx::sim::Faults overlong;
    overlong.longAnswer = {1.0, 3};
    sim_.setFaults(9, overlong);
    Tool().OnScan();
    ASSERT_TRUE(Tool().lastScanCompleted()) << fe_.AllMessages();
    EXPECT_EQ(Line(9), "Adr. 09:\tSENSOR1\ttypea.cfg");
    EXPECT_EQ(Line(10), found10);
    EXPECT_EQ(Line(11), "Adr. 11:\t-----\t-----");
    EXPECT_EQ(FramesTo(10), 2u);  // one probe, one type read
    // The test cycles take no second attempt: a request delay of a second there, so that a
    // member answering late on a loaded machine is not counted as a lost answer.
    WriteIni(1000);
    fe_.cycles = [](CCyclesDlg& d) {
        d.SetNumberText("10");
        return true;
    };
    Tool().OnTest();
    EXPECT_EQ(Line(10), found10 + "\t10 / 10\t100,00%");
}

TEST_F(ScanTest, CancelThenNoContinuesAndCancelThenYesEndsTheScan) {
    WriteIni();
    StandardTypes();
    Member(2, 16, "KVXA10");
    fe_.yesNoAnswers = {false, true};
    int lastCancelled = -1;
    fe_.onPump = [&](ProgressWindow& w) {
        const int a = Tool().currentAddress();
        if ((a == 3 || a == 6) && lastCancelled != a) {
            lastCancelled = a;
            w.RequestCancel();
        }
    };
    Tool().OnScan();
    EXPECT_EQ(fe_.questions, 2);
    EXPECT_FALSE(Tool().lastScanCompleted());
    // No at address 3 went on with that attempt; Yes at address 6 ended before its line.
    ASSERT_EQ(Tool().memberList().size(), 6u);
    EXPECT_EQ(Line(2), "Adr. 02:\tSENSOR1\ttypea.cfg");
    EXPECT_EQ(Line(3), "Adr. 03:\t-----\t-----");
    EXPECT_FALSE(Tool().enabled(Button::Test));
    EXPECT_FALSE(Tool().enabled(Button::Generate));
    EXPECT_FALSE(Tool().enabled(Button::Report));
    EXPECT_TRUE(Tool().enabled(Button::Scan));
    EXPECT_TRUE(Tool().enabled(Button::Com));
    EXPECT_TRUE(fe_.messages.empty()) << fe_.AllMessages();
}

TEST_F(ScanTest, PortLostDuringTheScanEndsIt) {
    WriteIni();
    StandardTypes();
    std::unique_ptr<platform::SerialDevice> holder;
    fe_.onPump = [&](ProgressWindow&) {
        if (Tool().currentAddress() == 2 && !holder) {
            int error = 0;
            holder = platform::SerialDevice::open(sim_.devicePath(), error);
        }
    };
    Tool().OnScan();
    ASSERT_TRUE(holder);
    EXPECT_TRUE(
        fe_.HasMessage("No access to the COM-Port!\n Change Com-Port", "ZAN KVX-LINKSPY COM-ERROR"))
        << fe_.AllMessages();
    EXPECT_EQ(Tool().memberList().size(), 2u);
    EXPECT_FALSE(Tool().enabled(Button::Generate));
    EXPECT_FALSE(Tool().enabled(Button::Test));
    EXPECT_TRUE(Tool().enabled(Button::Scan));
    EXPECT_FALSE(Tool().busy());
}

TEST_F(ScanTest, PortNotAccessibleRunsThePortSelectionInstead) {
    WriteIni();
    StandardTypes();
    dir_.write("LINKSPY.INI",
               "[RS232]\nCOM=" + (dir_ / "no-such-port").string() + "\n[Timeout]\nTime=30\n");
    Tool().OnScan();
    EXPECT_TRUE(fe_.HasMessage("No access to the COM-Port!\nChange Com-Port", "linkspy"))
        << fe_.AllMessages();
    EXPECT_EQ(fe_.portDialogs, 1);
    EXPECT_EQ(sim_.frameCount(), 0u);
    EXPECT_TRUE(Tool().memberList().empty());
    EXPECT_TRUE(Tool().enabled(Button::Scan));
    EXPECT_FALSE(Tool().enabled(Button::Generate));
}

// ---- device description files ----------------------------------------------------------

TEST_F(ScanTest, NoCfgFilesNoScan) {
    WriteIni();
    dir_.write("readme.txt", "not a device\n");
    Tool().OnScan();
    EXPECT_TRUE(
        fe_.HasMessage("No *.cfg files in the current directory!", "ZAN LINKSPY CFG-ERROR"));
    EXPECT_EQ(sim_.frameCount(), 0u);
    EXPECT_FALSE(Tool().lastScanCompleted());
    EXPECT_TRUE(Tool().enabled(Button::Scan));
}

TEST_F(ScanTest, UpperCaseExtensionCountsAsCfgFile) {
    WriteIni();
    dir_.write("TYPEA.CFG", CfgText(16, 16, {{0, 6, "KVXA10", "SENSOR1"}}));
    Member(0, 16, "KVXA10");
    Tool().OnScan();
    ASSERT_TRUE(Tool().lastScanCompleted()) << fe_.AllMessages();
    EXPECT_EQ(Line(0), "Adr. 00:\tSENSOR1\tTYPEA.CFG");
}

TEST_F(ScanTest, SevenFailedFilesListFiveThenDots) {
    WriteIni();
    StandardTypes();
    for (char c = 'a'; c <= 'g'; ++c) {
        // One recognised line only: a scanID line without a fetchID line.
        dir_.write(std::string("bad") + c + ".cfg",
                   "scanID\treadoffset=0\tlength=2\tIDstr=XX\tname=N\tend=1\n");
    }
    Tool().OnScan();
    std::string expected = "Failed Loading Cfg-File:\n\n";
    for (char c = 'a'; c <= 'e'; ++c)
        expected += (dir_ / (std::string("bad") + c + ".cfg")).string() + "\n";
    expected += "...";
    EXPECT_TRUE(fe_.HasMessage(expected, "ZAN LINKSPY FILE-ERROR")) << fe_.AllMessages();
    EXPECT_EQ(sim_.frameCount(), 0u);
    EXPECT_FALSE(Tool().lastScanCompleted());
}

TEST_F(ScanTest, SingleFailedFileIsNamedAlone) {
    WriteIni();
    StandardTypes();
    dir_.write("half.cfg", "fetchID\tdesadr=0\tbytes=8\t\n");
    Tool().OnScan();
    EXPECT_TRUE(fe_.HasMessage("Failed Loading Cfg-File:\n\n" + (dir_ / "half.cfg").string() + "\n",
                               "ZAN LINKSPY FILE-ERROR"))
        << fe_.AllMessages();
}

TEST_F(ScanTest, EleventhScanIdLineIsNamedAndIgnored) {
    WriteIni();
    std::vector<CfgEntry> entries;
    for (int i = 0; i < 11; ++i)
        entries.push_back({i * 2, 2, "I" + std::to_string(i % 10), "N" + std::to_string(i)});
    dir_.write("many.cfg", CfgText(0, 32, entries));
    std::string memory;
    for (int i = 0; i < 10; ++i) memory += "I" + std::to_string(i);
    Member(4, 0, memory);  // the eleventh entry would want "I0" at offset 20
    Tool().OnScan();
    ASSERT_TRUE(Tool().lastScanCompleted()) << fe_.AllMessages();
    ASSERT_EQ(fe_.messages.size(), 1u) << fe_.AllMessages();
    EXPECT_EQ(fe_.messages[0].caption, "ZAN LINKSPY CFG-ERROR");
    EXPECT_NE(fe_.messages[0].text.find((dir_ / "many.cfg").string() + ":13:"), std::string::npos)
        << fe_.messages[0].text;
    EXPECT_EQ(Line(4), "Adr. 04:\tN9\tmany.cfg");
}

// ---- request delay -----------------------------------------------------------------------

TEST_F(ScanTest, RequestDelayDefaultsWhenTheKeyIsMissing) {
    WriteIni(std::nullopt);
    dir_.write("LINKSPY.INI", "[RS232]\nCOM=" + (dir_ / "absent").string() + "\n[Timeout]\n");
    StandardTypes();
    EXPECT_EQ(Tool().requestDelay(), 150);
    Tool().OnScan();  // the port is missing: the delay is read, then the port selection runs
    EXPECT_EQ(Tool().requestDelay(), 400);
    fe_.cycles = [](CCyclesDlg&) { return false; };
    Tool().OnTest();
    EXPECT_EQ(Tool().requestDelay(), 200);
    EXPECT_FALSE(Tool().busy());
    for (const auto& m : fe_.messages) EXPECT_NE(m.caption, kIniCaption) << m.text;
}

TEST_F(ScanTest, RequestDelayFromTheFileAndMissingFile) {
    dir_.write("LINKSPY.INI",
               "[timeout]\ntime = 75\n[rs232]\ncom=" + (dir_ / "absent").string() + "\n");
    EXPECT_EQ(Tool().requestDelay(), 75);
    EXPECT_EQ(Tool().portName(), (dir_ / "absent").string());
    std::filesystem::remove(dir_ / "LINKSPY.INI");
    StandardTypes();
    Tool().OnScan();
    EXPECT_EQ(Tool().requestDelay(), 400);
    EXPECT_TRUE(fe_.HasMessage(kIniMissing, kIniCaption));
    fe_.messages.clear();
    fe_.cycles = [](CCyclesDlg&) { return false; };
    Tool().OnTest();  // the value in hand stays
    EXPECT_EQ(Tool().requestDelay(), 400);
    EXPECT_TRUE(fe_.HasMessage(kIniMissing, kIniCaption));
}

TEST_F(ScanTest, MissingIniAtStartKeepsCom1) {
    StandardTypes();
    Tool();
    EXPECT_TRUE(fe_.HasMessage(kIniMissing, kIniCaption));
    EXPECT_EQ(Tool().portName(), "COM1");
    EXPECT_TRUE(Tool().enabled(Button::Scan));
    EXPECT_TRUE(Tool().enabled(Button::Com));
    EXPECT_TRUE(Tool().enabled(Button::Help));
    EXPECT_FALSE(Tool().enabled(Button::Test));
    EXPECT_FALSE(Tool().enabled(Button::Report));
    EXPECT_FALSE(Tool().enabled(Button::Generate));
}

TEST_F(ScanTest, IniFoundAlongPathAndLongPortNamesKeptWhole) {
    kvx::testing::TempDir other;
    other.write("linkspy.ini", "[RS232]\nCOM=COM10\n[Timeout]\nTime=55\n");
    tool_ = std::make_unique<CScanToolDlg>(fe_, [&] {
        auto env = Environment();
        env.pathVariable = (dir_ / "nothing-here").string() + ":" + other.path().string();
        return env;
    }());
    tool_->Start();
    EXPECT_TRUE(fe_.messages.empty()) << fe_.AllMessages();
    EXPECT_EQ(tool_->portName(), "COM10");
    EXPECT_EQ(tool_->requestDelay(), 55);
    ASSERT_TRUE(tool_->LocateToolIni());
    EXPECT_EQ(tool_->LocateToolIni()->parent_path(), other.path());
}

TEST_F(ScanTest, OverlongPortNameInTheIniIsRefused) {
    dir_.write("LINKSPY.INI", "[RS232]\nCOM=" + std::string(300, 'x') + "\n");
    Tool();
    EXPECT_EQ(Tool().portName(), "COM1");
    ASSERT_EQ(fe_.messages.size(), 1u);
    EXPECT_EQ(fe_.messages[0].caption, kIniCaption);
    EXPECT_NE(fe_.messages[0].text.find("255"), std::string::npos);
}

TEST_F(ScanTest, ScanWithoutProgressWindowStillWorks) {
    WriteIni();
    StandardTypes();
    Member(30, 16, "KVXB20");
    fe_.failProgress = true;
    Tool().OnScan();
    ASSERT_TRUE(Tool().lastScanCompleted());
    EXPECT_EQ(Line(30), "Adr. 30:\tPumpControl\ttypeb.cfg");
}

}  // namespace
}  // namespace kvx::scantool::testing
