#pragma once
// The window over the simulated bus for the GUI tests and the screenshots: the sample devices
// at addresses 3, 7 and 12, their .cfg files and LINKSPY.INI in a fresh working directory,
// and helpers that answer modal dialogs and boxes from a zero-time timer.

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "kvx/sim/simulator.h"
#include "main_window.h"
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
};

// Answers the next message box with `answer` and records it in `seen`.
inline void AnswerBox(std::shared_ptr<BoxSeen> seen,
                      QMessageBox::StandardButton answer = QMessageBox::Ok) {
    OnModal<QMessageBox>([seen, answer](QMessageBox* box) {
        seen->caption = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->shown = true;
        box->done(answer);
    });
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

}  // namespace kvx::scantool::gui::testing
