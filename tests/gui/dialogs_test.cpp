// The dialogs and progress windows on their own: the cycles dialog's number field following
// its trackbar, the save dialog's file name, the generate dialog's choices, the progress
// window's percentage, Enter and Cancel, and every window unclipped at twice the font size.

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

#include "gui_fixture.h"
#include "picture_button.h"
#include "progress_dialog.h"
#include "text.h"
#include "tool_dialogs.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

// Texts that do not fit their widget, as "class 'text' needs WxH, has WxH".
QStringList Clipped(QWidget* window) {
    QStringList clipped;
    auto check = [&](QWidget* w, const QString& text) {
        if (!w->isVisibleTo(window)) return;
        const QSize need = w->sizeHint();
        if (need.width() > w->width() || need.height() > w->height()) {
            clipped << QStringLiteral("%1 '%2' needs %3x%4, has %5x%6")
                           .arg(QString::fromLatin1(w->metaObject()->className()), text)
                           .arg(need.width())
                           .arg(need.height())
                           .arg(w->width())
                           .arg(w->height());
        }
    };
    for (auto* l : window->findChildren<QLabel*>()) check(l, l->text());
    for (auto* b : window->findChildren<QAbstractButton*>()) {
        if (!qobject_cast<PictureButton*>(b)) check(b, b->text());
    }
    return clipped;
}

}  // namespace

#define NOT_CLIPPED(window)                                                          \
    do {                                                                             \
        const QStringList clipped = Clipped(window);                                 \
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; ")))); \
    } while (false)

class DialogsTest : public QObject {
    Q_OBJECT

  private slots:
    void cyclesDialogFollowsTrackbarAndNumber() {
        CCyclesDlg cycles(3);
        cycles.Open();
        CyclesDialog d(cycles, nullptr);
        QCOMPARE(d.trackbar()->minimum(), 10);
        QCOMPARE(d.trackbar()->maximum(), 10000);
        QCOMPARE(d.maxLabel()->text(), QStringLiteral("10000"));
        QCOMPARE(d.numberField()->text(), QStringLiteral("10"));
        QCOMPARE(d.estimate()->text(), QStringLiteral("15 sec "));

        d.trackbar()->setValue(100);
        QCOMPARE(d.numberField()->text(), QStringLiteral("100"));
        QCOMPARE(d.estimate()->text(), QStringLiteral("2 min 30 sec "));
        QCOMPARE(cycles.cycles(), 100);

        d.show();
        d.trackbar()->setFocus();
        QTest::keyClick(d.trackbar(), Qt::Key_End);
        QCOMPARE(cycles.cycles(), 10000);
        QCOMPARE(d.numberField()->text(), QStringLiteral("10000"));
        QCOMPARE(d.estimate()->text(), QStringLiteral("4 h 10 min "));

        // The field cannot be typed into: it shows the number that will run. The trackbar
        // has the keys, and Page Down steps it back.
        QVERIFY(d.numberField()->isReadOnly());
        QTest::keyClicks(d.numberField(), QStringLiteral("5"));
        QCOMPARE(d.numberField()->text(), QStringLiteral("10000"));
        QCOMPARE(cycles.cycles(), 10000);
        QCOMPARE(d.focusWidget(), d.trackbar());
        QTest::keyClick(d.trackbar(), Qt::Key_PageDown);
        QCOMPARE(d.numberField()->text(), QStringLiteral("9900"));
        QCOMPARE(cycles.cycles(), 9900);
    }

    void saveDialogFileNameFollowsCommentUntilChanged() {
        CSaveProtocolDlg save("/site/bus", '/');
        save.Open();
        SaveProtocolDialog d(save, nullptr);
        d.show();
        QCOMPARE(d.directory()->text(), QStringLiteral("/site/bus/"));
        QCOMPARE(d.fileType()->currentIndex(), 1);
        QVERIFY(d.fileName()->text().isEmpty());

        QTest::keyClicks(d.comment(), QStringLiteral("Line 2"));
        QCOMPARE(d.fileName()->text(), QStringLiteral("Line 2.xls"));
        // A dot stops the following; the name keeps what it had.
        QTest::keyClicks(d.comment(), QStringLiteral(". ok"));
        QCOMPARE(d.fileName()->text(), QStringLiteral("Line 2.xls"));

        d.fileType()->showPopup();
        d.fileType()->setCurrentIndex(0);
        d.fileType()->hidePopup();
        QCOMPARE(d.fileName()->text(), QStringLiteral("Line 2.txt"));
        d.fileType()->showPopup();
        d.fileType()->setCurrentIndex(1);
        d.fileType()->hidePopup();
        QCOMPARE(d.fileName()->text(), QStringLiteral("Line 2.xls"));

        // The comment keeps to 250 characters.
        d.comment()->setPlainText(QString(300, QLatin1Char('x')));
        QCOMPARE(d.comment()->toPlainText().size(), 250);

        QTest::mouseClick(d.changeButton(), Qt::LeftButton);
        QVERIFY(!d.fileName()->isReadOnly());
        QCOMPARE(d.focusWidget(), d.fileName());
        QTest::keyClicks(d.fileName(), QStringLiteral("report.abc"));
        d.accept();
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(save.fileName(), std::string("report.abc"));
        QCOMPARE(save.fileType(), 1);
    }

    void directoriesShowTheirNamesWithUmlauts() {
        // The dialogs keep names as ANSI text; the widgets show the characters.
        CSaveProtocolDlg save(ToAnsi(QStringLiteral("/site/Prüfstand")), '/');
        save.Open();
        SaveProtocolDialog s(save, nullptr);
        QCOMPARE(s.directory()->text(), QStringLiteral("/site/Prüfstand/"));

        CGenerateIniDlg generate(std::filesystem::path(u8"/site/Prüfstand"), "/etc",
                                 "fenlodrv.ini");
        generate.Open();
        GenerateIniDialog g(generate, nullptr);
        QCOMPARE(g.currentDirectory()->text(), QStringLiteral("/site/Prüfstand/fenlodrv.ini"));
    }

    void saveDialogEmptyNameClosesAsCancelled() {
        CSaveProtocolDlg save("/site", '/');
        save.Open();
        SaveProtocolDialog d(save, nullptr);
        d.show();
        d.accept();
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(save.outcome(), CSaveProtocolDlg::Outcome::Cancelled);
    }

    void generateDialogShowsPortListOnlyForChangePort() {
        CGenerateIniDlg generate("/site/bus", "/etc", "fenlodrv.ini");
        generate.Open();
        GenerateIniDialog d(generate, nullptr);
        d.show();
        QCOMPARE(d.currentDirectory()->text(), QStringLiteral("/site/bus/fenlodrv.ini"));
        QCOMPARE(d.windowsDirectory()->text(), QStringLiteral("/etc/fenlodrv.ini"));
        QVERIFY(d.samePort()->isChecked());
        QVERIFY(!d.ports()->isVisible());
        QCOMPARE(d.ports()->count(), 8);

        d.changePort()->click();
        QVERIFY(d.ports()->isVisible());
        d.ports()->setCurrentIndex(4);
        d.windowsDirectory()->click();
        d.accept();
        QVERIFY(generate.changePort());
        QCOMPARE(generate.chosenPort(), std::string("COM5"));
        QCOMPARE(generate.targetPath(), std::filesystem::path("/etc/fenlodrv.ini"));

        CGenerateIniDlg again("/site/bus", "/etc", "fenlodrv.ini");
        again.Open();
        GenerateIniDialog d2(again, nullptr);
        d2.show();
        d2.changePort()->click();
        d2.samePort()->click();
        QVERIFY(!d2.ports()->isVisible());
        d2.accept();
        QVERIFY(!again.changePort());
        QCOMPARE(again.targetPath(), std::filesystem::path("/site/bus/fenlodrv.ini"));
    }

    void progressPercentWrapsAndCancelOnlyRaisesTheFlag() {
        QWidget owner;
        owner.show();
        ToolEnvironment env;
        ScanToolWindow frontEnd(env);
        CScanProgressDlg progress(frontEnd, "KVX - Link-Spy Progress -");
        QVERIFY(progress.OpenProgress());
        progress.SetProgressRange(0, 4);
        progress.SetProgressStep(1);
        ProgressDialog* d = OpenProgressDialog();
        QVERIFY(d);
        QCOMPARE(d->windowTitle(), QStringLiteral("KVX - Link-Spy Progress -"));
        QCOMPARE(d->text()->text(), QStringLiteral(" 0 %"));
        QVERIFY(!d->isModal());

        QStringList shown;
        for (int i = 0; i < 5; ++i) {
            progress.AdvanceProgress();
            shown << d->text()->text();
        }
        QCOMPARE(shown,
                 (QStringList{QStringLiteral("25%"), QStringLiteral("50%"), QStringLiteral("75%"),
                              QStringLiteral("100%"), QStringLiteral("25%")}));
        // The fifth step passed the upper end: the bar starts over.
        QCOMPARE(d->bar()->value(), 0);

        // Enter changes nothing; Cancel twice and Escape give one request, the window stays.
        QTest::keyClick(d, Qt::Key_Return);
        QVERIFY(!progress.TakeCancel());
        QTest::mouseClick(d->cancelButton(), Qt::LeftButton);
        QTest::mouseClick(d->cancelButton(), Qt::LeftButton);
        QVERIFY(d->isVisible());
        QVERIFY(progress.TakeCancel());
        QVERIFY(!progress.TakeCancel());
        QTest::keyClick(d, Qt::Key_Escape);
        QVERIFY(d->isVisible());
        QVERIFY(progress.TakeCancel());
        d->close();
        QVERIFY(d->isVisible());
        QVERIFY(progress.TakeCancel());

        QPointer<ProgressDialog> gone(d);
        progress.Destroy();
        QVERIFY(gone.isNull());
    }

    void testProgressShowsCycle() {
        ToolEnvironment env;
        ScanToolWindow frontEnd(env);
        CTestProgressDlg progress(frontEnd, "KVX - Bus-Test Progress -");
        progress.OpenProgress();
        progress.SetProgressRange(0, 6);
        progress.AdvanceProgress();
        progress.SetCycleText("1");
        ProgressDialog* d = OpenProgressDialog();
        QVERIFY(d);
        QCOMPARE(d->windowTitle(), QStringLiteral("KVX - Bus-Test Progress -"));
        QCOMPARE(d->text()->text(), QStringLiteral("1"));
        QCOMPARE(d->bar()->maximum(), 6);
        QCOMPARE(d->bar()->value(), 1);
    }

    void nothingClippedAtNormalAndDoubleFont_data() {
        QTest::addColumn<double>("scale");
        QTest::newRow("100%") << 1.0;
        QTest::newRow("200%") << 2.0;
    }

    void nothingClippedAtNormalAndDoubleFont() {
        QFETCH(double, scale);
        const QFont original = QApplication::font();
        QFont bigger = original;
        bigger.setPointSizeF(original.pointSizeF() * scale);
        QApplication::setFont(bigger);

        ToolEnvironment env;
        env.currentDirectory = "/srv/commissioning/station-12/bus";
        env.windowsDirectory = "/etc";
        env.pathVariable = std::string();
        ScanToolWindow w(env);
        QVERIFY(w.tool().OverridePort("/dev/ttyUSB0"));
        w.show();
        NOT_CLIPPED(&w);
        // The picture buttons take their size from the font as well.
        QVERIFY(w.button(Button::Scan)->height() >= qRound(50 * scale));

        CCyclesDlg cycles(32);
        cycles.Open();
        CyclesDialog c(cycles, nullptr);
        c.trackbar()->setValue(10000);
        c.show();
        NOT_CLIPPED(&c);

        CSaveProtocolDlg save(env.currentDirectory.string(), '/');
        save.Open();
        SaveProtocolDialog s(save, nullptr);
        s.show();
        NOT_CLIPPED(&s);

        CGenerateIniDlg generate(env.currentDirectory, env.windowsDirectory, "fenlodrv.ini");
        generate.Open();
        GenerateIniDialog g(generate, nullptr);
        g.show();
        NOT_CLIPPED(&g);

        CSelectComPortDlg port("COM1", [] {
            return std::vector<std::string>{"COM1", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"};
        });
        port.Open();
        PortDialog p(port, w, nullptr);
        p.show();
        NOT_CLIPPED(&p);

        AboutDialog a(nullptr);
        a.show();
        NOT_CLIPPED(&a);

        for (auto kind : {ProgressKind::Scan, ProgressKind::Test}) {
            ProgressWindow progress(w, kind, "KVX - Link-Spy Progress -");
            progress.SetProgressRange(0, 4);
            progress.OpenProgress();
            for (int i = 0; i < 4; ++i) progress.AdvanceProgress();
            progress.SetCycleText("10000");
            progress.RequestCancel();  // the notice of a pending Cancel fits too
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<ProgressDialog*>(top)) {
                    NOT_CLIPPED(d);
                }
            }
        }
        QApplication::setFont(original);
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
