// Rules that need no bus: text helpers, percentages, elapsed time, progress percentages, the
// dialogs' value logic, the protocol line forms and the identification compare.

#include <gtest/gtest.h>

#include <limits>

#include "kvx/scantool/bus_access.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/files.h"
#include "kvx/scantool/progress.h"
#include "kvx/scantool/scan_tool.h"
#include "kvx/scantool/text.h"
#include "tool_fixture.h"

namespace kvx::scantool::testing {
namespace {

TEST(TextHelpers, DateTimeAndPrefix) {
    EXPECT_EQ(DateText({2001, 3, 7, 9, 5, 7}), "7.03.2001");
    EXPECT_EQ(DateText({2026, 12, 31, 0, 0, 0}), "31.12.2026");
    EXPECT_EQ(TimeText({2001, 3, 7, 9, 5, 7}), "9:05:07");
    EXPECT_EQ(TimeText({2001, 3, 7, 23, 59, 0}), "23:59:00");
    EXPECT_EQ(TimeText({2001, 3, 7, 0, 0, 10}), "0:00:10");
    EXPECT_EQ(MemberLinePrefix(5), "Adr. 05:\t");
    EXPECT_EQ(MemberLinePrefix(0), "Adr. 00:\t");
    EXPECT_EQ(MemberLinePrefix(9), "Adr. 09:\t");
    EXPECT_EQ(MemberLinePrefix(10), "Adr. 10:\t");
    EXPECT_EQ(MemberLinePrefix(31), "Adr. 31:\t");
    EXPECT_EQ(TwoDigitCount(0), "00");
    EXPECT_EQ(TwoDigitCount(7), "07");
    EXPECT_EQ(TwoDigitCount(10), "10");
    EXPECT_EQ(TwoDigitCount(10000), "10000");
}

TEST(TextHelpers, PercentTexts) {
    EXPECT_EQ(PercentText(AnswerPercent(10, 10)), "100,00%");
    EXPECT_EQ(PercentText(AnswerPercent(7, 10)), " 70,00%");
    EXPECT_EQ(PercentText(AnswerPercent(0, 10)), "  0,00%");
    EXPECT_EQ(PercentText(AnswerPercent(1, 200)), "  ,50%");
    EXPECT_EQ(PercentText(AnswerPercent(5, 10)), " 50,00%");
    EXPECT_EQ(PercentText(5.5f), "  5,50%");
    EXPECT_EQ(PercentText(0.05f), "  ,05%");
    EXPECT_EQ(PercentText(AnswerPercent(1, 3)), " 33,33%");
    EXPECT_EQ(PercentText(AnswerPercent(2, 3)), " 66,67%");
    EXPECT_EQ(PercentText(AnswerPercent(1, 10000)), "  ,01%");
    // Below 10 before rounding keeps both blanks even when the digits round up to 10.
    EXPECT_EQ(PercentText(9.999f), "  10,00%");
    EXPECT_FLOAT_EQ(AnswerPercent(3, 0), 0.0f);
}

TEST(TextHelpers, ElapsedTimeWrapsAtMidnight) {
    EXPECT_EQ(ElapsedText({23, 59, 30}, {0, 0, 10}), "0:00:40 ");
    EXPECT_EQ(ElapsedText({9, 5, 30}, {10, 5, 10}), "0:59:40 ");
    EXPECT_EQ(ElapsedText({8, 0, 0}, {8, 0, 0}), "0:00:00 ");
    EXPECT_EQ(ElapsedText({0, 0, 0}, {23, 59, 59}), "23:59:59 ");
    EXPECT_EQ(ElapsedText({12, 0, 1}, {12, 0, 0}), "23:59:59 ");
    EXPECT_EQ(CycleFieldText(10, 10), "10 / 10 ");
    EXPECT_EQ(CycleFieldText(0, 250), "0 / 250 ");
}

TEST(TextHelpers, EstimateAndDirectoryDisplay) {
    EXPECT_EQ(DurationEstimateText(0), "");
    EXPECT_EQ(DurationEstimateText(15), "15 sec ");
    EXPECT_EQ(DurationEstimateText(60), "1 min ");
    EXPECT_EQ(DurationEstimateText(3600), "1 h ");
    EXPECT_EQ(DurationEstimateText(5000), "1 h 23 min 20 sec ");
    EXPECT_EQ(DirectoryDisplay("C:\\Projects\\Station 12\\Commissioning\\Bus", '\\'),
              "C:\\ ...\\Bus\\");
    EXPECT_EQ(DirectoryDisplay("C:\\Work", '\\'), "C:\\Work\\");
    const std::string just36(36, 'a');
    EXPECT_EQ(DirectoryDisplay("/" + std::string(35, 'a'), '/'), "/" + std::string(35, 'a') + "/");
    EXPECT_EQ(DirectoryDisplay("/home/service/projects/station/commissioning", '/'),
              "/ho .../commissioning/");
}

TEST(Progress, ScanPercentagesWrapWithTheBar) {
    FakeFrontEnd fe;
    CScanProgressDlg w(fe, "KVX - Link-Spy Progress -");
    ASSERT_TRUE(w.OpenProgress());
    EXPECT_EQ(w.percentText(), " 0 %");
    w.SetProgressRange(0, 4);
    w.SetProgressStep(1);
    std::vector<std::string> texts;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(w.AdvanceProgress(), i);
        texts.push_back(w.percentText());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"25%", "50%", "75%", "100%", "25%"}));
    EXPECT_EQ(w.position(), 0);  // wrapped to the lower end
    EXPECT_EQ(ProgressWindow::PercentFor(1, 0, 3), "33%");
    EXPECT_EQ(ProgressWindow::PercentFor(3, 0, 3), "100%");
    EXPECT_EQ(ProgressWindow::PercentFor(6, 0, 3), "0%");
}

TEST(Progress, CancelIsTakenOnceAndTheTestRangeIsNotCut) {
    FakeFrontEnd fe;
    CTestProgressDlg w(fe, "KVX - Bus-Test Progress -");
    ASSERT_TRUE(w.OpenProgress());
    EXPECT_FALSE(w.TakeCancel());
    w.RequestCancel();
    w.RequestCancel();
    EXPECT_TRUE(w.TakeCancel());
    EXPECT_FALSE(w.TakeCancel());
    // 10 members over 10000 cycles: the range is far beyond 16 bits and still ends right.
    w.SetProgressRange(0, 100000);
    for (int i = 0; i < 100000; ++i) w.AdvanceProgress();
    EXPECT_EQ(w.position(), 100000);
    EXPECT_EQ(fe.lastProgressPosition, 100000);
    w.SetCycleText("7");
    EXPECT_EQ(w.cycleText(), "7");
}

TEST(Progress, DefaultCaptionsAndMissingView) {
    FakeFrontEnd fe;
    CScanProgressDlg scan(fe);
    CTestProgressDlg test(fe);
    EXPECT_EQ(scan.caption(), "LINK-SPY");
    EXPECT_EQ(test.caption(), "");
    fe.failProgress = true;
    CScanProgressDlg none(fe);
    EXPECT_FALSE(none.OpenProgress());
    none.SetProgressRange(0, 2);
    EXPECT_EQ(none.AdvanceProgress(), 0);
    EXPECT_EQ(none.percentText(), "50%");
}

TEST(CyclesDialog, TrackbarNumberFieldAndEstimate) {
    CCyclesDlg d(3);
    d.Open();
    EXPECT_EQ(d.cycles(), 10);
    EXPECT_EQ(d.estimateText(), "15 sec ");
    EXPECT_EQ(d.minLabel(), "10");
    EXPECT_EQ(d.maxLabel(), "10000");
    d.SetPosition(10000);
    EXPECT_EQ(d.numberText(), "10000");
    EXPECT_EQ(d.estimateText(), "4 h 10 min ");
    d.SetNumberText("250x");
    EXPECT_EQ(d.cycles(), 250);
    d.SetNumberText("5");
    EXPECT_EQ(d.cycles(), 10);
    d.SetNumberText("99999999999999");
    EXPECT_EQ(d.cycles(), 10000);
    d.SetNumberText("");
    EXPECT_EQ(d.cycles(), 10);
    CCyclesDlg none(0);
    none.Open();
    EXPECT_EQ(none.estimateText(), "");
}

TEST(SaveDialog, FileNameFollowsTheCommentUntilChange) {
    CSaveProtocolDlg d("/srv/station", '/');
    d.Open();
    EXPECT_EQ(d.directory(), "/srv/station/");
    EXPECT_EQ(d.directoryDisplay(), "/srv/station/");
    EXPECT_EQ(d.fileType(), 1);
    d.SetComment("Site 3");
    EXPECT_EQ(d.fileName(), "Site 3.xls");
    d.SetComment("Site 3.");  // a dot stops the following
    EXPECT_EQ(d.fileName(), "Site 3.xls");
    d.SetComment("Site 3\nsecond line");
    EXPECT_EQ(d.fileName(), "Site 3.xls");
    d.SetComment(std::string(36, 'a'));
    EXPECT_EQ(d.fileName(), std::string(36, 'a') + ".xls");
    d.SetComment(std::string(37, 'b'));
    EXPECT_EQ(d.fileName(), std::string(36, 'a') + ".xls");
    d.SetComment("Site 3");
    d.CloseTypeList(0);
    EXPECT_EQ(d.fileName(), "Site 3.txt");
    EXPECT_EQ(d.fileType(), 0);
    d.CloseTypeList(1);
    EXPECT_EQ(d.fileName(), "Site 3.xls");
    d.CloseTypeList(-1);  // typed text: the table layout
    EXPECT_EQ(d.extension(), ".xls");
    d.PressChange();
    EXPECT_FALSE(d.follows());
    d.SetComment("Other");
    EXPECT_EQ(d.fileName(), "Site 3.xls");
    d.SetComment(std::string(300, 'c'));
    EXPECT_EQ(d.comment().size(), 250u);
}

TEST(SaveDialog, OkRules) {
    auto ok = [](const std::string& name, int type) {
        CSaveProtocolDlg d("/srv", '/');
        d.Open();
        d.CloseTypeList(type);
        d.PressChange();
        d.SetFileName(name);
        auto outcome = d.PressOk();
        return std::make_pair(outcome, d.fileName());
    };
    using O = CSaveProtocolDlg::Outcome;
    EXPECT_EQ(ok("report", 1), std::make_pair(O::Ok, std::string("report.xls")));
    EXPECT_EQ(ok("report", 0), std::make_pair(O::Ok, std::string("report.txt")));
    EXPECT_EQ(ok("report.abc", 0), std::make_pair(O::Ok, std::string("report.abc")));
    EXPECT_EQ(ok("report.old.txt", 0).first, O::ExtensionError);
    EXPECT_EQ(ok("report.t", 0).first, O::ExtensionError);
    EXPECT_EQ(ok("", 0).first, O::Cancelled);
    EXPECT_EQ(ok(".txt", 0).first, O::Cancelled);
    EXPECT_EQ(ok(".xls", 1).first, O::Cancelled);
    EXPECT_EQ(ok("../elsewhere", 0).first, O::NotAFileName);
    EXPECT_EQ(ok("sub/x.txt", 0).first, O::NotAFileName);
    // Without Change the name cannot be typed.
    CSaveProtocolDlg d("/srv", '/');
    d.Open();
    d.SetFileName("typed.txt");
    EXPECT_EQ(d.fileName(), "");
    EXPECT_EQ(d.PressOk(), O::Cancelled);
}

TEST(GenerateDialog, PathsAndPort) {
    CGenerateIniDlg d("/srv/station", "/etc", "fenlodrv.ini");
    d.Open();
    EXPECT_EQ(d.targetPath(), std::filesystem::path("/srv/station/fenlodrv.ini"));
    EXPECT_EQ(d.windowsDirectoryPath(), std::filesystem::path("/etc/fenlodrv.ini"));
    EXPECT_EQ(d.currentDirectoryDisplay(), "/srv/station/fenlodrv.ini");
    EXPECT_FALSE(d.changePort());
    EXPECT_EQ(d.portText(), "COM1");
    d.ChooseWindowsDirectory();
    EXPECT_EQ(d.targetPath(), std::filesystem::path("/etc/fenlodrv.ini"));
    d.ChooseCurrentDirectory();
    EXPECT_EQ(d.targetPath(), std::filesystem::path("/srv/station/fenlodrv.ini"));
    d.SelectChangePort();
    EXPECT_TRUE(d.portListVisible());
    d.SetPortText("COM3");
    d.PressOk();
    EXPECT_EQ(d.chosenPort(), "COM3");
    CGenerateIniDlg longer("/home/service/projects/station/commissioning", "/etc", "fenlodrv.ini");
    EXPECT_EQ(longer.currentDirectoryDisplay(), "/ho .../commissioning/fenlodrv.ini");
    EXPECT_EQ(longer.currentDirectoryPath(),
              std::filesystem::path("/home/service/projects/station/commissioning/fenlodrv.ini"));
}

TEST(ProtocolLines, TextAndTableForms) {
    const std::string found = "Adr. 01:\tSENSOR1\ttypea.cf\t10 / 10\t100,00%";
    // A field of exactly eight characters keeps its single tab.
    EXPECT_EQ(TextLine(found), "Adr.01:\tSENSOR1\t\ttypea.cf\t10 / 10\t\t100,00%");
    EXPECT_EQ(TextLine("Adr. 01:\tSENSOR1\ttypea.c\t10 / 10\t100,00%"),
              "Adr.01:\tSENSOR1\t\ttypea.c\t\t10 / 10\t\t100,00%");
    EXPECT_EQ(TableLine(found), " 01\tSENSOR1\ttypea.cf\t10 \t 10\t100,00");
    EXPECT_EQ(TextLine("Adr. 00:\t-----\t-----"), "Adr.00:\t-----\t\t-----");
    EXPECT_EQ(TableLine("Adr. 00:\t-----\t-----"), " 00\t-----\t-----");
    // Eight characters or more between tabs get no second tab.
    EXPECT_EQ(TextLine("Adr. 05:\tPumpControl\ttypeb.cfg\t07 / 10\t 70,00%"),
              "Adr.05:\tPumpControl\ttypeb.cfg\t07 / 10\t\t 70,00%");
    EXPECT_EQ(TextLine("Adr. 06:\tNo .cfg file for this Member!"),
              "Adr.06:\tNo .cfg file for this Member!");
    EXPECT_EQ(TextLine(""), "");
    EXPECT_EQ(TableLine(""), "");
    EXPECT_EQ(CommentWithoutCR("a\r\nb\r\n"), "a\nb\n");
    EXPECT_EQ(WithCrLf("a\nb\n\n"), "a\r\nb\r\n\r\n");
}

TEST(Identification, IdTextRules) {
    std::array<std::uint8_t, 256> area;
    area.fill(0x20);
    const std::string s = "A B\0CD";
    std::copy(s.begin(), s.end(), area.begin() + 10);
    EXPECT_EQ(IdText(area, 10, 3), "AB");
    EXPECT_EQ(IdText(area, 10, 6), "AB");   // a zero byte ends the text
    EXPECT_EQ(IdText(area, 10, 0), "A");    // at least the first byte
    EXPECT_EQ(IdText(area, 250, 100), "");  // beyond the area: blanks
    EXPECT_EQ(IdText(area, -5, 16), "A");   // only bytes 0..10 lie in the area
    EXPECT_EQ(IdText(area, 1 << 30, 1 << 30), "");
    area[40] = 0x81;  // OEM u-umlaut becomes the ANSI one
    EXPECT_EQ(IdText(area, 40, 1), "\xFC");
}

MemberType AltType() {
    MemberType t;
    t.fileName = "alt.cfg";
    t.entries = {{0, 2, "A1", "NameA1"}, {0, 2, "A2", "NameA2"}, {8, 1, "B", "NameB"}};
    return t;
}

std::array<std::uint8_t, 256> Area(std::initializer_list<std::pair<int, std::string>> texts) {
    std::array<std::uint8_t, 256> area;
    area.fill(0x20);
    for (const auto& [offset, text] : texts)
        std::copy(text.begin(), text.end(), area.begin() + offset);
    return area;
}

TEST(Identification, AlternativesAndPlainEntries) {
    const auto t = AltType();
    auto m = MatchType(t, Area({{0, "A2"}, {8, "B"}}));
    EXPECT_TRUE(m.matched);
    EXPECT_EQ(m.entry, 1);
    m = MatchType(t, Area({{0, "A1"}, {8, "B"}}));
    EXPECT_TRUE(m.matched);
    EXPECT_EQ(m.entry, 0);
    EXPECT_FALSE(MatchType(t, Area({{0, "A3"}, {8, "B"}})).matched);
    EXPECT_FALSE(MatchType(t, Area({{0, "A1"}, {8, "C"}})).matched);

    MemberType plain;
    plain.entries = {{0, 2, "P1", "First"}, {4, 2, "P2", "Second"}, {8, 2, "P3", "Third"}};
    m = MatchType(plain, Area({{0, "P1"}, {4, "P2"}, {8, "P3"}}));
    EXPECT_TRUE(m.matched);
    EXPECT_EQ(m.entry, 2);  // the last entry names the member
    EXPECT_FALSE(MatchType(plain, Area({{0, "P1"}, {4, "P2"}, {8, "XX"}})).matched);
    EXPECT_FALSE(MatchType(MemberType{}, Area({})).matched);
}

TEST(BusAccess, FramesAndTimeouts) {
    const auto probe = ShortFrame(5, 0, 10, 0);
    EXPECT_EQ(
        std::vector<std::uint8_t>(probe.begin(), probe.end()),
        (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x10, 0x05, 0x00, 0x00, 0x0A, 0x1F, 0x16}));
    const auto wrap = ShortFrame(31, 0xF0, 245, 0);
    EXPECT_EQ(wrap[8], static_cast<std::uint8_t>(0x10 + 31 + 0xF0 + 245));
    EXPECT_EQ(AnswerTimeout(400, 16), 415);
    EXPECT_EQ(AnswerTimeout(400, 10), 412);
    EXPECT_EQ(AnswerTimeout(20, 10), 32);
    // A huge Time value in LINKSPY.INI must not wrap into a short or negative timeout.
    EXPECT_EQ(AnswerTimeout(std::numeric_limits<int>::max(), 10), std::numeric_limits<int>::max());
    EXPECT_EQ(AnswerTimeout(std::numeric_limits<int>::max() - 5, 10),
              std::numeric_limits<int>::max());
    // So must a huge byte count from a .cfg file.
    EXPECT_EQ(AnswerTimeout(0, std::numeric_limits<int>::max()),
              AnswerTime(std::numeric_limits<int>::max()));
    EXPECT_EQ(AnswerTime(21), 12);
    EXPECT_EQ(AnswerTime(256), 146);
    const auto s = ToolLineSettings();
    EXPECT_EQ(s.baudRate, 19200u);
    EXPECT_EQ(s.parity, platform::Parity::Even);
    EXPECT_EQ(s.dtrControl, platform::DtrControl::Disable);
    EXPECT_EQ(s.rtsControl, platform::RtsControl::Enable);
    EXPECT_TRUE(s.parityCheck);
    EXPECT_EQ(s.eventChar, 0x16);
}

TEST(DriverIni, LayoutAndEmptyScan) {
    const std::string text =
        DriverIniText("7.03.2001", "9:05:07", "COM3", 31,
                      {{1, "typea.cfg", "SENSOR1"}, {5, "typeb.cfg", "PumpControl"}});
    EXPECT_EQ(text,
              "\n;      Init-file for  ZAN Korvex OPC-Server V2.x \n"
              ";              Last Update 7.03.2001 - 9:05:07 \n\n"
              "[RS232]\nCOM=COM3\n\n;----- only used by V1.x----\n"
              "[KXBUS]\nMAXADR=31\n;---------------------------\n\n"
              "[SLAVE01]\nCFG=typea.cfg\nNAME=SENSOR1\n\n"
              "[SLAVE05]\nCFG=typeb.cfg\nNAME=PumpControl\n\n");
    const std::string empty = DriverIniText("1.01.2002", "0:00:00", "COM1", 31, {});
    EXPECT_EQ(empty.substr(empty.size() - 40), "MAXADR=31\n;---------------------------\n\n");
}

}  // namespace
}  // namespace kvx::scantool::testing
