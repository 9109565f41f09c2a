// Remakes the screenshots of docs/screenshots: the main window after a scan and a test of the
// sample devices on the simulator (one of them with a long .cfg file name), the cycles,
// save-protocol, generate and port dialogs and the progress windows of the scan and the test.
// On an X server with a window manager each picture shows the window with its frame, as a
// user sees it; offscreen, the window's inside.  Usage: linkspy_screenshots OUTPUT-DIR

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTest>
#include <cstdio>

#include "gui_fixture.h"
#include "member_list.h"
#include "progress_dialog.h"
#include "tool_dialogs.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

// The window as it is on the screen, with the frame of the window manager, when there is
// one; else the window's own drawing.
QPixmap Picture(QWidget* w) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return w->grab();
    // Framed and drawn: the window manager's frame is around the window, and the events that
    // paint it have been handled.
    (void)QTest::qWaitFor([w] { return w->frameGeometry() != w->geometry(); }, 3000);
    (void)QTest::qWaitForWindowExposed(w);
    QTest::qWait(200);  // the window manager draws its frame in its own time
    const QRect frame = w->frameGeometry();
    return w->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
}

bool Save(QWidget* w, const QDir& out, const QString& name) {
    QCoreApplication::processEvents();
    const QString path = out.filePath(name + QStringLiteral(".png"));
    if (!Picture(w).save(path)) {
        std::fprintf(stderr, "linkspy_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: linkspy_screenshots OUTPUT-DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) return 1;
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/linkspy.svg")));

    SampleBus bus;
    // The longest names the plug-in keeps: a cfg file name of 48 characters.
    const std::string longName = "dio16-digital-io-16-channel-cabinet-A3-line2.cfg";
    std::filesystem::rename(bus.dir() / "dio16.cfg", bus.dir() / longName);
    ScanToolWindow w(bus.Environment());
    w.Start();
    w.show();
    bool ok = true;

    // A scan, with the progress window taken half-way.
    bool progressTaken = false;
    auto* watch = new QTimer(&w);
    QObject::connect(watch, &QTimer::timeout, [&] {
        if (progressTaken || w.memberList()->count() < 13) return;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* p = qobject_cast<ProgressDialog*>(top); p && p->isVisible()) {
                ok = Save(p, out, QStringLiteral("progress-scan")) && ok;
                progressTaken = true;
            }
        }
    });
    watch->start(0);
    w.tool().OnScan();
    watch->stop();
    ok = ok && progressTaken;

    // A test of 20 cycles; the cycles dialog is taken at 100 cycles first, the progress
    // window in the fifth cycle.
    OnModal<CyclesDialog>([&](CyclesDialog* d) {
        d->trackbar()->setValue(100);
        ok = Save(d, out, QStringLiteral("cycles-dialog")) && ok;
        d->trackbar()->setValue(20);
        d->accept();
    });
    progressTaken = false;
    watch->disconnect();
    QObject::connect(watch, &QTimer::timeout, [&] {
        if (progressTaken || w.tool().completedCycles() < 4) return;
        if (auto* p = OpenProgressDialog()) {
            ok = Save(p, out, QStringLiteral("progress-test")) && ok;
            progressTaken = true;
        }
    });
    watch->start(0);
    w.tool().OnTest();
    watch->stop();
    ok = ok && progressTaken;
    ok = Save(&w, out, QStringLiteral("main-window")) && ok;

    OnModal<SaveProtocolDialog>([&](SaveProtocolDialog* d) {
        QTest::keyClicks(d->comment(), QStringLiteral("Commissioning line 2"));
        ok = Save(d, out, QStringLiteral("save-protocol-dialog")) && ok;
        d->reject();
    });
    w.tool().OnReport();

    OnModal<GenerateIniDialog>([&](GenerateIniDialog* d) {
        d->changePort()->click();
        ok = Save(d, out, QStringLiteral("generate-dialog")) && ok;
        d->reject();
    });
    w.tool().OnGenerate();

    OnModal<PortDialog>([&](PortDialog* d) {
        ok = Save(d, out, QStringLiteral("port-dialog")) && ok;
        d->reject();
    });
    w.tool().OnCom();
    return ok ? 0 : 1;
}
