// Cancel of a running test as the window shows it, and requests to end the program (Ctrl-C,
// SIGTERM) taken as that Cancel or as closing the window, over the simulated sample bus.

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <csignal>

#include "gui_fixture.h"
#include "member_list.h"
#include "progress_dialog.h"
#include "tool_dialogs.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

// What the test's progress window showed right after its Cancel.
struct CancelSeen {
    int runningCycle = 0;
    QString notice;
    bool cancelEnabled = true;
};

// Runs `cancel` once in the middle of a cycle after the first: member 3 read in the running
// cycle, member 12 not yet.
void MidCycle(ScanToolWindow& w, std::function<void(ProgressDialog*, int)> cancel) {
    DuringProgress([&w, cancel](ProgressDialog* p) {
        auto* mid = new QTimer(p);
        QObject::connect(mid, &QTimer::timeout, [&w, cancel, p, mid] {
            const int k = w.tool().completedCycles() + 1;
            const QString ofK = QStringLiteral(" / %1").arg(k, 2, 10, QLatin1Char('0'));
            MemberList* list = w.memberList();
            if (k < 2 || !list->item(3)->text().endsWith(ofK) ||
                list->item(12)->text().endsWith(ofK)) {
                return;
            }
            mid->stop();
            cancel(p, k);
        });
        mid->start(0);
    });
}

// Whether process `pid` has a handler of its own for SIGTERM (signal 15, bit 14 of SigCgt).
bool CatchesTerminate(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> 14) & 1;
    }
    return false;
}

QString FinalLine(int cycles) {
    const QString n = QStringLiteral("%1").arg(cycles, 2, 10, QLatin1Char('0'));
    return QStringLiteral("Adr. 03:\tTC-200\ttc200.cfg\t%1 / %1\t100,00%").arg(n);
}

}  // namespace

class CancelTest : public QObject {
    Q_OBJECT

  private:
    BusAndWindow t_;

    // After a scan, with the answer to the cycles dialog of the next test: 1000 cycles.
    ScanToolWindow& ScannedWindow() {
        auto& w = t_.Open(t_.bus->Environment(), {}, true);
        Click(w, Button::Scan);
        OnModal<CyclesDialog>([](CyclesDialog* d) {
            d->trackbar()->setValue(1000);
            d->accept();
        });
        return w;
    }

  private slots:
    void init() { t_.Begin(); }
    void cleanup() { t_.End(); }

    void cancelShowsAtOnceAndTheCycleIsFinished() {
        auto& w = ScannedWindow();
        auto canceled = std::make_shared<BoxSeen>();
        CancelSeen seen;
        MidCycle(w, [&seen, canceled](ProgressDialog* p, int k) {
            seen.runningCycle = k;
            AnswerBox(canceled);
            QTest::mouseClick(p->cancelButton(), Qt::LeftButton);
            seen.notice = p->notice()->text();
            seen.cancelEnabled = p->cancelButton()->isEnabled();
            QTest::keyClick(p, Qt::Key_Escape);  // a second Cancel changes nothing
        });
        Click(w, Button::Test);
        QCOMPARE(seen.notice, QStringLiteral("Canceling after this cycle..."));
        QVERIFY(!seen.cancelEnabled);
        QVERIFY(canceled->shown);
        QCOMPARE(canceled->text, QStringLiteral("Test is canceled"));
        QCOMPARE(w.tool().completedCycles(), seen.runningCycle);
        QCOMPARE(w.memberList()->item(3)->text(), FinalLine(seen.runningCycle));
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST REPORT GENERATE COM HELP"));
    }

    void stopRequestDuringATestIsItsCancel() {
        auto& w = ScannedWindow();
        auto canceled = std::make_shared<BoxSeen>();
        CancelSeen seen;
        MidCycle(w, [&seen, canceled](ProgressDialog* p, int k) {
            seen.runningCycle = k;
            AnswerBox(canceled);
            std::raise(SIGTERM);
            // Shown once the sequence has looked, at its next step.
            auto* watch = new QTimer(p);
            QObject::connect(watch, &QTimer::timeout, [&seen, p] {
                if (!p->notice()->text().isEmpty()) {
                    seen.notice = p->notice()->text();
                    seen.cancelEnabled = p->cancelButton()->isEnabled();
                }
            });
            watch->start(0);
        });
        Click(w, Button::Test);
        QCOMPARE(seen.notice, QStringLiteral("Canceling after this cycle..."));
        QVERIFY(!seen.cancelEnabled);
        QCOMPARE(canceled->text, QStringLiteral("Test is canceled"));
        QCOMPARE(w.tool().completedCycles(), seen.runningCycle);
        QCOMPARE(w.memberList()->item(3)->text(), FinalLine(seen.runningCycle));
        // The figures stay in the window, and the request was settled: an interrupt now
        // closes the window, as its close button does.
        QVERIFY(w.isVisible());
        std::raise(SIGINT);
        QTRY_VERIFY(!w.isVisible());
    }

    void programEndsNormallyOnATerminateRequest() {
        // linkspy in the bus's folder: once its handler is in place, SIGTERM closes the window
        // and the program ends as from its close button, not by the signal.
        QProcess linkspy;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"),
                   QString::fromStdString(t_.bus->dir().string()));
        linkspy.setProcessEnvironment(env);
        linkspy.start(QStringLiteral(KVX_LINKSPY),
                      {QStringLiteral("-C"), QString::fromStdString(t_.bus->dir().string())});
        QVERIFY(linkspy.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(CatchesTerminate(linkspy.processId()), 30000);
        linkspy.terminate();
        QVERIFY(linkspy.waitForFinished(30000));
        QCOMPARE(linkspy.exitStatus(), QProcess::NormalExit);
        QCOMPARE(linkspy.exitCode(), 0);
        // The folder of -C is the first recent one.
        QCOMPARE(ReadFile(t_.bus->dir() / "linkspy" / "recent-folders"),
                 t_.bus->dir().string() + "\n");
    }

    void stopRequestCancelsTheOpenDialogFirst() {
        auto& w = t_.Open(t_.bus->Environment(), {}, true);
        Click(w, Button::Scan);
        // The cycles dialog of the test: cancelled, the test does not start, the window stays.
        bool asked = false;
        OnModal<CyclesDialog>([&asked](CyclesDialog*) {
            asked = true;
            std::raise(SIGTERM);
        });
        Click(w, Button::Test);
        QVERIFY(asked);
        QVERIFY(w.isVisible());
        QCOMPARE(w.tool().requestedCycles(), 0);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST GENERATE COM HELP"));
        // Outside a sequence: the open dialog goes, then the window.
        bool generateDialog = false;
        OnModal<GenerateIniDialog>([&generateDialog](GenerateIniDialog*) {
            generateDialog = true;
            std::raise(SIGINT);
        });
        w.button(Button::Generate)->click();
        QTRY_VERIFY(!w.isVisible());
        QVERIFY(generateDialog);
        QVERIFY(!std::filesystem::exists(t_.bus->dir() / "fenlodrv.ini"));
    }
};

QTEST_MAIN(CancelTest)
#include "cancel_test.moc"
