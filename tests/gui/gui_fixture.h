#pragma once
// The window over the simulated bus for the GUI tests and the screenshots: the sample devices
// at addresses 3, 7 and 12, their .cfg files and LINKSPY.INI in a fresh working directory,
// and helpers that answer modal dialogs and boxes from a zero-time timer.

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "kvx/sim/simulator.h"
#include "main_window.h"
#include "picture_button.h"
#include "progress_dialog.h"

namespace kvx::scantool::gui::testing {

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Calls `action` with the modal widget of type T once it is the active modal widget, from a
// zero-time timer. Looks again every 5 ms; gives up after `looks` looks (the action then never
// runs and the test's own checks fail).
template <class T>
void OnModal(std::function<void(T*)> action, int looks = 2000) {
    QTimer::singleShot(0, [action = std::move(action), looks]() {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            action(w);
        } else if (looks > 0) {
            QTimer::singleShot(5, [action, looks] { OnModal<T>(action, looks - 1); });
        }
    });
}

// The progress window that is open, if any.
inline ProgressDialog* OpenProgressDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* p = qobject_cast<ProgressDialog*>(w); p && p->isVisible()) return p;
    }
    return nullptr;
}

// A message box as it was shown.
struct BoxSeen {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool shown = false;
    int width = 0;
    // Width of the caption in bold with room for three title buttons of the font's height.
    int captionNeeds = 0;
};

// Answers the next message box with `answer` and records it in `seen`.
inline void AnswerBox(std::shared_ptr<BoxSeen> seen,
                      QMessageBox::StandardButton answer = QMessageBox::Ok) {
    OnModal<QMessageBox>([seen, answer](QMessageBox* box) {
        seen->caption = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->shown = true;
        seen->width = box->frameGeometry().width();
        QFont bold = box->font();
        bold.setBold(true);
        const QFontMetrics fm(bold);
        seen->captionNeeds = fm.horizontalAdvance(seen->caption) + 3 * fm.height();
        box->done(answer);
    });
}

inline constexpr std::array<Button, 6> kAll = {Button::Scan,     Button::Test, Button::Report,
                                               Button::Generate, Button::Com,  Button::Help};

// Enabled state of the six picture buttons as the window shows them: "SCAN TEST ..." of
// those that are on.
inline QString EnabledButtons(const ScanToolWindow& w) {
    static const char* names[] = {"SCAN", "TEST", "REPORT", "GENERATE", "COM", "HELP"};
    QStringList on;
    for (std::size_t i = 0; i < kAll.size(); ++i) {
        if (w.button(kAll[i])->isEnabled()) on << QString::fromLatin1(names[i]);
    }
    return on.join(QLatin1Char(' '));
}

// Clicks a picture button and lets the sequence behind it run to its end.
inline void Click(ScanToolWindow& w, Button b) {
    QTest::mouseClick(w.button(b), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!w.tool().busy(), 60000);
    QCoreApplication::processEvents();
}

// Runs `check` once, at the first pump of the sequence after its progress window opened.
inline void DuringProgress(std::function<void(ProgressDialog*)> check) {
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

class SampleBus {
  public:
    static constexpr int kDelay = 30;

    SampleBus() : sim_(kvx::sim::SimulatorOptions{false, 1}) {
        const std::filesystem::path samples = KVX_SAMPLES_DIR;
        for (const char* name : {"tc200.cfg", "dio16.cfg", "fd7.cfg"}) {
            std::filesystem::copy_file(samples / "devices" / name, dir() / name);
        }
        sim_.addMemberFromCfg(3, dir() / "tc200.cfg");
        sim_.addMemberFromCfg(7, dir() / "dio16.cfg");
        sim_.addMemberFromCfg(12, dir() / "fd7.cfg");
        sim_.start();
        WriteIni();
        std::filesystem::create_directories(dir() / "windows");
    }

    std::filesystem::path dir() const { return std::filesystem::path(temp_.path().toStdString()); }
    const std::string& port() const { return sim_.devicePath(); }
    kvx::sim::Simulator& sim() { return sim_; }

    void WriteIni() {
        WriteFile(dir() / "LINKSPY.INI", "[RS232]\r\nCOM=" + port() + "\r\n[Timeout]\r\nTime=" +
                                             std::to_string(kDelay) + "\r\n");
    }

    ToolEnvironment Environment() const {
        ToolEnvironment env;
        env.title = "linkspy";
        env.currentDirectory = dir();
        env.pathVariable = std::string();
        env.windowsDirectory = dir() / "windows";
        const std::string port = sim_.devicePath();
        const std::string missing = (dir() / "no-such-port").string();
        env.portCandidates = [port, missing] { return std::vector<std::string>{missing, port}; };
        return env;
    }

    // The member line of the sample bus after a scan.
    static QString ScanLine(int a) {
        const QString adr = QStringLiteral("Adr. %1:\t").arg(a, 2, 10, QLatin1Char('0'));
        switch (a) {
            case 3:
                return adr + QStringLiteral("TC-200\ttc200.cfg");
            case 7:
                return adr + QStringLiteral("DIO-16\tdio16.cfg");
            case 12:
                return adr + QStringLiteral("FD-7\tfd7.cfg");
            default:
                return adr + QStringLiteral("-----\t-----");
        }
    }

  private:
    QTemporaryDir temp_;
    kvx::sim::Simulator sim_;
};

// The sample bus and a main window over it, made fresh for each test function: Begin() in
// init(), End() in cleanup().
struct BusAndWindow {
    std::unique_ptr<SampleBus> bus;
    std::unique_ptr<ScanToolWindow> window;

    void Begin() { bus = std::make_unique<SampleBus>(); }
    void End() {
        window.reset();
        bus.reset();
    }
    // A new window started in `folder` (empty: the current directory), shown and active;
    // with `listen` Ctrl-C and SIGTERM reach it.
    ScanToolWindow& Open(const ToolEnvironment& env, const QString& folder = {},
                         bool listen = false) {
        window = std::make_unique<ScanToolWindow>(env);
        window->Start(folder);
        if (listen) window->ListenForStopRequests();
        window->show();
        window->activateWindow();
        (void)QTest::qWaitForWindowActive(window.get());
        return *window;
    }
    ScanToolWindow& Open() { return Open(bus->Environment()); }
};

}  // namespace kvx::scantool::gui::testing
