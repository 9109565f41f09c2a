// The main window over the simulated sample bus: button states through a scan and a test,
// Cancel during a scan, closing while busy, the member list with its tab stops, the protocol
// and fenlodrv.ini written through their dialogs, the port selection, help and About.

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QTextLayout>

#include "dialog_units.h"
#include "gui_fixture.h"
#include "member_list.h"
#include "picture_button.h"
#include "progress_dialog.h"
#include "tool_dialogs.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

constexpr std::array<Button, 6> kAll = {Button::Scan,     Button::Test, Button::Report,
                                        Button::Generate, Button::Com,  Button::Help};

// Enabled state of the six picture buttons as the window shows them: "SCAN TEST ..." of
// those that are on.
QString EnabledButtons(const ScanToolWindow& w) {
    static const char* names[] = {"SCAN", "TEST", "REPORT", "GENERATE", "COM", "HELP"};
    QStringList on;
    for (std::size_t i = 0; i < kAll.size(); ++i) {
        if (w.button(kAll[i])->isEnabled()) on << QString::fromLatin1(names[i]);
    }
    return on.join(QLatin1Char(' '));
}

// Clicks a picture button and lets the sequence behind it run to its end.
void Click(ScanToolWindow& w, Button b) {
    QTest::mouseClick(w.button(b), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!w.tool().busy(), 60000);
    QCoreApplication::processEvents();
}

// Runs `check` once, at the first pump of the sequence after its progress window opened.
void DuringProgress(std::function<void(ProgressDialog*)> check) {
    auto* timer = new QTimer;
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, [timer, check] {
        if (auto* p = OpenProgressDialog()) {
            timer->stop();
            timer->deleteLater();
            check(p);
        }
    });
    timer->start();
}

// Stands in for the desktop's viewer: records the URLs it is given.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls << url; }
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<SampleBus> bus_;
    std::unique_ptr<ScanToolWindow> w_;

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
        QCOMPARE(w.windowTitle(), QStringLiteral("KVX-RS485-LINK-SPY "));
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
        const QString line = lines[3];
        auto layout = MemberLineDelegate::Layout(line, font);
        const int name = line.indexOf(QLatin1Char('\t')) + 1;
        const int cfg = line.indexOf(QLatin1Char('\t'), name) + 1;
        QCOMPARE(qRound(layout->lineAt(0).cursorToX(name)), du.x(55));
        QCOMPARE(qRound(layout->lineAt(0).cursorToX(cfg)), du.x(140));
        // All 32 lines are in sight without scrolling.
        const QRect last = w.memberList()->visualItemRect(w.memberList()->item(31));
        QVERIFY(w.memberList()->viewport()->rect().contains(last));

        QVERIFY(w.close());
    }

    void cancelThenNoContinuesAndYesStops() {
        auto& w = Window();
        auto question = std::make_shared<BoxSeen>();
        DuringProgress([question](ProgressDialog* p) {
            AnswerBox(question, QMessageBox::No);
            QTest::mouseClick(p->cancelButton(), Qt::LeftButton);
        });
        Click(w, Button::Scan);
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

    void helpOpensTheBundledPageAndAboutShowsTheVersion() {
        auto& w = Window();
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
        QTest::mouseClick(w.button(Button::Help), Qt::LeftButton);
        QTest::keyClick(&w, Qt::Key_F1);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(recorder.urls.size(), 2);
        const QString page = recorder.urls[0].toLocalFile();
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
