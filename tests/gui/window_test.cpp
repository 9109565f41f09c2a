// The main window over the simulated sample bus: button states through a scan and a test,
// Cancel during a scan, closing while busy, the member list with its tab stops, the protocol
// and fenlodrv.ini written through their dialogs, the port selection, help and About.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QToolTip>

#include "dialog_units.h"
#include "gui_fixture.h"
#include "help.h"
#include "member_list.h"
#include "picture_button.h"
#include "progress_dialog.h"
#include "tool_dialogs.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

// True while process `pid` runs (a process that ended but is not yet reaped does not).
bool Running(const QString& pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray fields = stat.readAll();
    const qsizetype end = fields.lastIndexOf(')');
    return end >= 0 && fields.mid(end + 2, 1) != "Z";
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<SampleBus> bus_;
    std::unique_ptr<ScanToolWindow> w_;

    // An executable shell script in the working directory; returns its path.
    QString Script(const std::string& name, const std::string& body) {
        const auto path = bus_->dir() / name;
        WriteFile(path, "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return QString::fromStdString(path.string());
    }

    ScanToolWindow& Window() {
        if (!w_) {
            w_ = std::make_unique<ScanToolWindow>(bus_->Environment());
            w_->Start();
            w_->show();
            (void)QTest::qWaitForWindowExposed(w_.get());
        }
        return *w_;
    }

  private slots:
    void init() { bus_ = std::make_unique<SampleBus>(); }
    void cleanup() {
        w_.reset();
        bus_.reset();
    }

    void startShowsPortAndOnlyScanComHelp() {
        auto& w = Window();
        QVERIFY(w.windowTitle().startsWith(QStringLiteral("KVX-RS485-LINK-SPY - ")));
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN COM HELP"));
        QCOMPARE(w.portLabel()->toolTip(), QString::fromStdString(bus_->port()));
        QCOMPARE(w.button(Button::Scan)->shortcut(), QKeySequence(Qt::ALT | Qt::Key_S));
        QCOMPARE(w.button(Button::Generate)->shortcut(), QKeySequence(Qt::ALT | Qt::Key_G));
        QCOMPARE(w.button(Button::Test)->toolTip(),
                 QStringLiteral("Test the available bus members"));
        QVERIFY(w.button(Button::Help)->toolTip().isEmpty());
        QCOMPARE(w.memberList()->count(), 0);

        // A mnemonic starts its sequence: Alt+C opens the port selection.
        bool portDialog = false;
        OnModal<PortDialog>([&](PortDialog* d) {
            portDialog = true;
            d->reject();
        });
        QTest::keyClick(&w, Qt::Key_C, Qt::AltModifier);
        QTRY_VERIFY(portDialog);
    }

    void missingIniIsReportedAndPortStaysCom1() {
        std::filesystem::remove(bus_->dir() / "LINKSPY.INI");
        auto seen = std::make_shared<BoxSeen>();
        AnswerBox(seen);
        ScanToolWindow w(bus_->Environment());
        w.Start();
        QVERIFY(seen->shown);
        QCOMPARE(seen->caption, QStringLiteral("ZAN LINKSPY INI-ERROR"));
        QCOMPARE(seen->text, QStringLiteral("Can´t found the LINKSPY.INI file!"));
        QCOMPARE(seen->icon, QMessageBox::Warning);
        QCOMPARE(w.portLabel()->text(), QStringLiteral("COM1"));
    }

    void scanDisablesButtonsKeepsWindowAndFillsList() {
        auto& w = Window();
        QString during;
        bool closeRefused = false;
        bool ownerUsable = false;
        QStringList percents;
        DuringProgress([&](ProgressDialog* p) {
            during = EnabledButtons(w);
            closeRefused = !w.close() && w.isVisible();
            ownerUsable = w.isEnabled() && !p->isModal();
            auto* watch = new QTimer(p);
            QObject::connect(watch, &QTimer::timeout, [&percents, p] {
                if (percents.isEmpty() || percents.back() != p->text()->text()) {
                    percents << p->text()->text();
                }
            });
            watch->start(0);
        });
        Click(w, Button::Scan);

        QCOMPARE(during, QStringLiteral("HELP"));
        QVERIFY(closeRefused);
        QVERIFY(ownerUsable);
        // Seen between the addresses: every step of the 32 but the last, after which the
        // window closes.
        QStringList expected{QStringLiteral(" 0 %")};
        for (int k = 1; k < 32; ++k) expected << QStringLiteral("%1%").arg(k * 100 / 32);
        QCOMPARE(percents, expected);
        QVERIFY(OpenProgressDialog() == nullptr);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST GENERATE COM HELP"));

        const QStringList lines = w.memberList()->lines();
        QCOMPARE(lines.size(), 32);
        for (int a = 0; a < 32; ++a) QCOMPARE(lines[a], SampleBus::ScanLine(a));

        // The columns: the text after each tab starts at the tab stop of the list's font.
        const QFont font = w.memberList()->font();
        const DialogUnits du(font);
        const auto stops = MemberLineDelegate::TabStops(font);
        QCOMPARE(stops, (QList<qreal>{qreal(du.x(55)), qreal(du.x(140)), qreal(du.x(220)),
                                      qreal(du.x(270))}));
        const auto columns = w.memberList()->columns(3);
        QCOMPARE(columns.size(), std::size_t(3));
        QCOMPARE(columns[1].left, du.x(55));
        QCOMPARE(columns[2].left, du.x(140));
        QCOMPARE(columns[2].shown, QStringLiteral("tc200.cfg"));
        // All 32 lines are in sight without scrolling.
        const QRect last = w.memberList()->visualItemRect(w.memberList()->item(31));
        QVERIFY(w.memberList()->viewport()->rect().contains(last));

        QVERIFY(w.close());
    }

    void cancelThenNoContinuesAndYesStops() {
        auto& w = Window();
        auto question = std::make_shared<BoxSeen>();
        QString notice;
        DuringProgress([question, &notice](ProgressDialog* p) {
            AnswerBox(question, QMessageBox::No);
            QTest::mouseClick(p->cancelButton(), Qt::LeftButton);
            // Shown until the scan asks, after the address it is at.
            if (!p->cancelButton()->isEnabled()) notice = p->notice()->text();
        });
        Click(w, Button::Scan);
        QCOMPARE(notice, QStringLiteral("Canceling after this address..."));
        QVERIFY(question->shown);
        QCOMPARE(question->text, QStringLiteral("Do you really want to break?"));
        QCOMPARE(question->caption, QStringLiteral("linkspy"));
        QCOMPARE(w.memberList()->count(), 32);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST GENERATE COM HELP"));

        auto yes = std::make_shared<BoxSeen>();
        int linesAtCancel = -1;
        DuringProgress([&, yes](ProgressDialog* p) {
            auto* later = new QTimer(p);
            QObject::connect(later, &QTimer::timeout, [&, yes, p, later] {
                if (w.memberList()->count() < 5) return;
                later->stop();
                linesAtCancel = w.memberList()->count();
                AnswerBox(yes, QMessageBox::Yes);
                QTest::mouseClick(p->cancelButton(), Qt::LeftButton);
            });
            later->start(0);
        });
        Click(w, Button::Scan);
        QVERIFY(yes->shown);
        QVERIFY(linesAtCancel >= 5);
        QVERIFY(w.memberList()->count() < 32);
        QVERIFY(w.memberList()->count() >= linesAtCancel);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN COM HELP"));
    }

    void testThenProtocolThroughTheSaveDialog() {
        auto& w = Window();
        Click(w, Button::Scan);

        QString during;
        OnModal<CyclesDialog>([&](CyclesDialog* d) {
            during = EnabledButtons(w);  // the cycles dialog is up: the test has not begun
            d->trackbar()->setValue(10);
            d->accept();
        });
        QString whileTesting;
        DuringProgress([&](ProgressDialog*) { whileTesting = EnabledButtons(w); });
        Click(w, Button::Test);
        QCOMPARE(whileTesting, QStringLiteral("HELP"));
        QCOMPARE(w.cycleField()->text(), QStringLiteral("10 / 10 "));
        QCOMPARE(w.memberList()->item(3)->text(),
                 QStringLiteral("Adr. 03:\tTC-200\ttc200.cfg\t10 / 10\t100,00%"));
        QCOMPARE(w.memberList()->item(0)->text(), SampleBus::ScanLine(0));
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST REPORT GENERATE COM HELP"));
        QVERIFY(w.elapsedField()->text().endsWith(QLatin1Char(' ')));

        // The file name follows the comment; the text type gives ".txt".
        OnModal<SaveProtocolDialog>([](SaveProtocolDialog* d) {
            QTest::keyClicks(d->comment(), QStringLiteral("Site 3"));
            QCOMPARE(d->fileName()->text(), QStringLiteral("Site 3.xls"));
            QVERIFY(d->fileName()->isReadOnly());
            d->fileType()->showPopup();
            d->fileType()->setCurrentIndex(0);
            d->fileType()->hidePopup();
            QCOMPARE(d->fileName()->text(), QStringLiteral("Site 3.txt"));
            d->accept();
        });
        Click(w, Button::Report);
        const std::string txt = ReadFile(bus_->dir() / "Site 3.txt");
        QVERIFY(txt.starts_with("Site 3\r\n\r\n"));
        QVERIFY(txt.find("Adr.03:\tTC-200\t\ttc200.cfg\t10 / 10\t\t100,00%\r\n") !=
                std::string::npos);
        QVERIFY(txt.find("Max. Request-Delay: 30ms") != std::string::npos);

        // A name typed after Change with a second dot is refused, and nothing is written.
        auto refused = std::make_shared<BoxSeen>();
        OnModal<SaveProtocolDialog>([refused](SaveProtocolDialog* d) {
            QTest::mouseClick(d->changeButton(), Qt::LeftButton);
            QVERIFY(!d->fileName()->isReadOnly());
            QTest::keyClicks(d->fileName(), QStringLiteral("report.old.txt"));
            AnswerBox(refused);
            d->accept();
        });
        Click(w, Button::Report);
        QVERIFY(refused->shown);
        QCOMPARE(refused->text, QStringLiteral("Extension Error"));
        QCOMPARE(refused->caption, QStringLiteral("ZAN LINKSPY FILE-ERROR"));
        QVERIFY(!std::filesystem::exists(bus_->dir() / "report.old.txt"));

        // A name without a dot gets the type's extension.
        OnModal<SaveProtocolDialog>([](SaveProtocolDialog* d) {
            QTest::mouseClick(d->changeButton(), Qt::LeftButton);
            QTest::keyClicks(d->fileName(), QStringLiteral("report"));
            d->accept();
        });
        Click(w, Button::Report);
        // A comment with an umlaut names the file in the file system's spelling.
        OnModal<SaveProtocolDialog>([](SaveProtocolDialog* d) {
            d->comment()->insertPlainText(QStringLiteral("Prüfung"));
            QCOMPARE(d->fileName()->text(), QStringLiteral("Prüfung.xls"));
            d->accept();
        });
        Click(w, Button::Report);
        QVERIFY(std::filesystem::exists(bus_->dir() / std::filesystem::path(u8"Prüfung.xls")));

        const std::string xls = ReadFile(bus_->dir() / "report.xls");
        QVERIFY(xls.find(" 07\tDIO-16\tdio16.cfg\t10 \t 10\t100,00") != std::string::npos);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST REPORT GENERATE COM HELP"));
    }

    void generateWritesTheChosenPortAndDirectory() {
        auto& w = Window();
        Click(w, Button::Scan);

        OnModal<GenerateIniDialog>([](GenerateIniDialog* d) {
            QVERIFY(!d->ports()->isVisible());
            QVERIFY(d->currentDirectory()->isChecked());
            d->changePort()->click();
            QVERIFY(d->ports()->isVisible());
            d->ports()->setCurrentIndex(2);
            d->accept();
        });
        Click(w, Button::Generate);
        const std::string here = ReadFile(bus_->dir() / "fenlodrv.ini");
        QVERIFY(here.find("[RS232]\r\nCOM=COM3\r\n") != std::string::npos);
        QVERIFY(here.find("MAXADR=31\r\n") != std::string::npos);
        QVERIFY(here.find("[SLAVE03]\r\nCFG=tc200.cfg\r\nNAME=TC-200\r\n") != std::string::npos);
        QVERIFY(here.find("[SLAVE07]\r\nCFG=dio16.cfg\r\nNAME=DIO-16\r\n") != std::string::npos);
        QVERIFY(here.find("[SLAVE12]\r\nCFG=fd7.cfg\r\nNAME=FD-7\r\n") != std::string::npos);
        QCOMPARE(w.portLabel()->toolTip(), QString::fromStdString(bus_->port()));

        OnModal<GenerateIniDialog>([](GenerateIniDialog* d) {
            d->windowsDirectory()->click();
            d->accept();
        });
        Click(w, Button::Generate);
        const std::string system = ReadFile(bus_->dir() / "windows" / "fenlodrv.ini");
        QVERIFY(system.find("COM=" + bus_->port() + "\r\n") != std::string::npos);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST GENERATE COM HELP"));
    }

    void longNamesKeepTheFiguresInSight() {
        // The longest names the files allow: a 48-character cfg file name (what the plug-in
        // keeps) and a 49-character member name.
        const std::string cfg = std::string(44, 'c') + ".cfg";
        const std::string member(49, 'M');
        std::string text = ReadFile(bus_->dir() / "tc200.cfg");
        text.replace(text.find("name=TC-200"), 11, "name=" + member);
        WriteFile(bus_->dir() / cfg, text);
        std::filesystem::remove(bus_->dir() / "tc200.cfg");

        auto& w = Window();
        Click(w, Button::Scan);
        OnModal<CyclesDialog>([](CyclesDialog* d) {
            d->trackbar()->setValue(10);
            d->accept();
        });
        Click(w, Button::Test);
        MemberList* list = w.memberList();
        QCOMPARE(list->item(3)->text(),
                 QStringLiteral("Adr. 03:\t%1\t%2\t10 / 10\t100,00%")
                     .arg(QString::fromStdString(member), QString::fromStdString(cfg)));

        // Each column ends before the next starts, the figures whole and inside the list.
        const auto inSight = [list](const std::vector<MemberColumn>& columns) {
            const QFontMetrics fm(list->font());
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const auto& c = columns[i];
                if (fm.horizontalAdvance(c.shown) > c.width) return false;
                if (i + 1 < columns.size() && c.left + c.width > columns[i + 1].left) return false;
            }
            const auto& last = columns.back();
            return MemberLineDelegate::Margin(list->font()) + last.left + last.width <=
                   list->viewport()->width();
        };
        auto columns = list->columns(3);
        QCOMPARE(columns.size(), std::size_t(5));
        QCOMPARE(columns[3].shown, QStringLiteral("10 / 10"));
        QCOMPARE(columns[4].shown, QStringLiteral("100,00%"));
        QVERIFY(columns[2].elided());
        QVERIFY(columns[2].shown.endsWith(QChar(0x2026)));
        QVERIFY(inSight(columns));
        // The widest figures the test can give stay whole too.
        const QString widest =
            QStringLiteral("Adr. 31:\t%1\t%2\t10000 / 10000\t100,00%")
                .arg(QString::fromStdString(member), QString::fromStdString(cfg));
        columns = MemberLineDelegate::Columns(widest, list->font(), list->viewport()->width());
        QCOMPARE(columns[3].shown, QStringLiteral("10000 / 10000"));
        QVERIFY(inSight(columns));

        // The cut line shows whole as a tooltip; a line that fits has none.
        const auto tipAt = [list](int row) {
            const QPoint at = list->visualItemRect(list->item(row)).center();
            QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
            QCoreApplication::sendEvent(list->viewport(), &help);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        const QString tip = tipAt(3);
        QVERIFY(tip.contains(QString::fromStdString(cfg)));
        QVERIFY(tip.contains(QString::fromStdString(member)));
        QVERIFY(tip.contains(QStringLiteral("100,00%")));
        tipAt(7);
        QTRY_VERIFY(!QToolTip::isVisible());
    }

    void aboutDuringAScanLeavesTheScanRunning() {
        auto& w = Window();
        const auto openAbout = [] {
            for (QWidget* t : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<AboutDialog*>(t); d && d->isVisible()) return d;
            }
            return static_cast<AboutDialog*>(nullptr);
        };
        DuringProgress([&](ProgressDialog*) { w.aboutAction()->trigger(); });
        // A box that held the scan is closed here, long after the scan would have ended.
        QTimer release;
        release.setSingleShot(true);
        QObject::connect(&release, &QTimer::timeout, [&] {
            if (auto* d = openAbout()) d->accept();
        });
        release.start(30000);
        Click(w, Button::Scan);
        QCOMPARE(w.memberList()->count(), 32);
        AboutDialog* about = openAbout();
        QVERIFY(about);  // the scan ended while the box stayed open
        QCOMPARE(about->windowTitle(), QStringLiteral("About KVX-RS485-LINK-SPY"));
        about->accept();
        QTRY_VERIFY(!openAbout());
    }

    void portDialogListsTestsAndStoresThePort() {
        auto& w = Window();
        Click(w, Button::Scan);

        // The same port again: list and buttons stay, the INI is rewritten.
        auto tested = std::make_shared<BoxSeen>();
        QStringList offered;
        OnModal<PortDialog>([&, tested](PortDialog* d) {
            for (int i = 0; i < d->ports()->count(); ++i) offered << d->ports()->itemText(i);
            AnswerBox(tested);
            QTest::mouseClick(d->testButton(), Qt::LeftButton);
            d->accept();
        });
        Click(w, Button::Com);
        QCOMPARE(offered, QStringList{QString::fromStdString(bus_->port())});
        QVERIFY(tested->shown);
        QCOMPARE(tested->text, QStringLiteral("Test OK!"));
        QCOMPARE(tested->caption, QStringLiteral("ZAN LINKSPY COM-TEST"));
        QCOMPARE(tested->icon, QMessageBox::Information);
        // The short text leaves room for the whole caption.
        QVERIFY2(
            tested->width >= tested->captionNeeds,
            qPrintable(QStringLiteral("%1 < %2").arg(tested->width).arg(tested->captionNeeds)));
        QCOMPARE(w.memberList()->count(), 32);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST GENERATE COM HELP"));

        // A typed name: the results of the old port go.
        OnModal<PortDialog>([](PortDialog* d) {
            d->ports()->setEditText(QStringLiteral("ttyUSB7"));
            d->accept();
        });
        Click(w, Button::Com);
        QCOMPARE(w.portLabel()->text(), QStringLiteral("ttyUSB7"));
        QCOMPARE(w.memberList()->count(), 0);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN COM HELP"));
        QVERIFY(ReadFile(bus_->dir() / "LINKSPY.INI").find("COM=ttyUSB7") != std::string::npos);

        // Cancel changes nothing.
        OnModal<PortDialog>([](PortDialog* d) { d->reject(); });
        Click(w, Button::Com);
        QCOMPARE(w.portLabel()->text(), QStringLiteral("ttyUSB7"));
    }

    void portDialogTestsTheShownPortAndKeepsATypedPath() {
        auto& w = Window();
        const QString missing = QString::fromStdString((bus_->dir() / "ttyGone").string());
        // Test tries the port that is shown: a typed path over the selected, openable entry.
        auto typed = std::make_shared<BoxSeen>();
        auto listed = std::make_shared<BoxSeen>();
        OnModal<PortDialog>([&, typed, listed](PortDialog* d) {
            QCOMPARE(d->ports()->currentText(), QString::fromStdString(bus_->port()));
            d->ports()->setEditText(missing);
            AnswerBox(typed);
            QTest::mouseClick(d->testButton(), Qt::LeftButton);
            d->ports()->setCurrentIndex(0);
            AnswerBox(listed);
            QTest::mouseClick(d->testButton(), Qt::LeftButton);
            d->reject();
        });
        Click(w, Button::Com);
        QCOMPARE(typed->caption, QStringLiteral("ZAN LINKSPY COM-TEST-ERROR"));
        QCOMPARE(typed->text, QStringLiteral("No access to the COM-Port!\nChange Com-Port"));
        QCOMPARE(listed->text, QStringLiteral("Test OK!"));

        // A device path that fails the SCAN stays in the INI when the port selection that
        // follows is closed with Enter.
        OnModal<PortDialog>([&](PortDialog* d) {
            d->ports()->setEditText(missing);
            d->accept();
        });
        Click(w, Button::Com);
        auto noAccess = std::make_shared<BoxSeen>();
        QString shown;
        AnswerBox(noAccess);
        OnModal<PortDialog>([&](PortDialog* d) {
            shown = d->ports()->currentText();
            QTest::keyClick(d, Qt::Key_Return);
        });
        Click(w, Button::Scan);
        QVERIFY(noAccess->shown);
        QCOMPARE(shown, missing);
        QVERIFY(ReadFile(bus_->dir() / "LINKSPY.INI").find("COM=" + missing.toStdString()) !=
                std::string::npos);
        QCOMPARE(w.portLabel()->toolTip(), missing);

        // A refused permission says why, under the same caption.
        const QString refused = QStringLiteral("/sys/kernel/vmcoreinfo");
        if (!QFileInfo::exists(refused)) QSKIP("no device here that refuses the open");
        auto why = std::make_shared<BoxSeen>();
        OnModal<PortDialog>([&, why](PortDialog* d) {
            d->ports()->setEditText(refused);
            AnswerBox(why);
            QTest::mouseClick(d->testButton(), Qt::LeftButton);
            d->reject();
        });
        Click(w, Button::Com);
        QCOMPARE(why->caption, QStringLiteral("ZAN LINKSPY COM-TEST-ERROR"));
        QVERIFY2(why->text.startsWith(
                     QStringLiteral("No access to the COM-Port!\nChange Com-Port\n\n")) &&
                     why->text.contains(refused + QStringLiteral(": ")),
                 qPrintable(why->text));
    }

    void helpViewerThatFailsIsReportedAndOneStillOpenIsClosedAtTheEnd() {
        auto& w = Window();
        // xdg-open without an application for the page ends with status 3.
        w.helpViewer()->setProgram(Script("noviewer", "exit 3"));
        auto failed = std::make_shared<BoxSeen>();
        AnswerBox(failed);
        QTest::keyClick(&w, Qt::Key_F1);
        QTRY_VERIFY(failed->shown);
        QCOMPARE(failed->caption, QStringLiteral("ZAN LINKSPY HELP-ERROR"));
        QCOMPARE(failed->icon, QMessageBox::Warning);
        QVERIFY2(failed->text.contains(QStringLiteral("linkspy.html")) &&
                     failed->text.contains(QStringLiteral("exit status 3")),
                 qPrintable(failed->text));

        // No viewer program at all.
        w.helpViewer()->setProgram(QString::fromStdString((bus_->dir() / "none").string()));
        auto missing = std::make_shared<BoxSeen>();
        AnswerBox(missing);
        QTest::mouseClick(w.button(Button::Help), Qt::LeftButton);
        QTRY_VERIFY(missing->shown);
        QVERIFY(missing->text.startsWith(QStringLiteral("No viewer could be started")));
        QVERIFY(missing->text.contains(QStringLiteral("linkspy.html")));

        // A viewer that stays, with a window process of its own: both end with the tool.
        const auto pids = bus_->dir() / "pids";
        w.helpViewer()->setProgram(
            Script("stays", "sleep 300 &\necho $$ $! > '" + pids.string() + "'\nwait"));
        QTest::mouseClick(w.button(Button::Help), Qt::LeftButton);
        QTRY_VERIFY(ReadFile(pids).find('\n') != std::string::npos);
        const QStringList both =
            QString::fromStdString(ReadFile(pids)).trimmed().split(QLatin1Char(' '));
        QCOMPARE(both.size(), 2);
        QVERIFY(Running(both[0]) && Running(both[1]));
        w_.reset();
        QTRY_VERIFY(!Running(both[0]) && !Running(both[1]));
    }

    void helpOpensTheBundledPageAndAboutShowsTheVersion() {
        auto& w = Window();
        // A viewer that notes the page it is given and ends well.
        const auto opened = bus_->dir() / "opened.txt";
        w.helpViewer()->setProgram(Script("viewer", "echo \"$1\" >> '" + opened.string() + "'"));
        QTest::mouseClick(w.button(Button::Help), Qt::LeftButton);
        QTest::keyClick(&w, Qt::Key_F1);
        QTRY_COMPARE(QString::fromStdString(ReadFile(opened)).count(QLatin1Char('\n')), 2);
        const QString page =
            QString::fromStdString(ReadFile(opened)).section(QLatin1Char('\n'), 0, 0);
        QVERIFY(page.endsWith(QStringLiteral("linkspy.html")));
        QFile file(page);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("KVX-RS485-LINK-SPY"));

        QString version;
        QString title;
        OnModal<AboutDialog>([&](AboutDialog* d) {
            title = d->windowTitle();
            version = d->findChild<QLabel*>(QStringLiteral("version"))->text();
            d->accept();
        });
        QCOMPARE(w.aboutAction()->text(), QStringLiteral("Inf&o über LINKSPY..."));
        w.aboutAction()->trigger();
        QCOMPARE(title, QStringLiteral("About KVX-RS485-LINK-SPY"));
        QCOMPARE(version, QStringLiteral("Version 1.00.9"));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
