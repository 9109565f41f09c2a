// Remakes the screenshots of docs/screenshots offscreen: the main window after a scan and a
// test of the sample devices on the simulator, the cycles, save-protocol, generate and port
// dialogs and the scan's progress window.  Usage: linkspy_screenshots OUTPUT-DIR

#include <QDir>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QRadioButton>
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

bool Save(QWidget* w, const QDir& out, const QString& name) {
    QCoreApplication::processEvents();
    const QString path = out.filePath(name + QStringLiteral(".png"));
    if (!w->grab().save(path)) {
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

    // A test of 20 cycles; the cycles dialog is taken at 100 cycles first.
    OnModal<CyclesDialog>([&](CyclesDialog* d) {
        d->trackbar()->setValue(100);
        ok = Save(d, out, QStringLiteral("cycles-dialog")) && ok;
        d->trackbar()->setValue(20);
        d->accept();
    });
    w.tool().OnTest();
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
