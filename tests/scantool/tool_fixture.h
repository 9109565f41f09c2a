#pragma once
// A scriptable front end, a settable clock and device description files for the tests of
// the service tool; the bus is the simulator on a real pseudo-terminal.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/front_end.h"
#include "kvx/scantool/scan_tool.h"
#include "kvx/sim/simulator.h"

namespace kvx::scantool::testing {

struct Message {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

class FakeFrontEnd;

class FakeProgressView final : public ProgressView {
  public:
    explicit FakeProgressView(FakeFrontEnd& fe) : fe_(fe) {}
    void Pump(ProgressWindow& window) override;
    void Update(const ProgressWindow& window) override;

  private:
    FakeFrontEnd& fe_;
};

class FakeFrontEnd : public FrontEnd {
  public:
    std::vector<Message> messages;
    std::deque<bool> yesNoAnswers;  // empty: Yes
    int questions = 0;
    // Dialog scripts; an empty function cancels the dialog.
    std::function<bool(CCyclesDlg&)> cycles;
    std::function<bool(CSaveProtocolDlg&)> save;
    std::function<bool(CGenerateIniDlg&)> generate;
    std::function<bool(CSelectComPortDlg&)> port;
    int portDialogs = 0;
    // Called at every pump of a progress window (before every scan attempt, every test cycle
    // and every advance).
    std::function<void(ProgressWindow&)> onPump;
    bool failProgress = false;
    std::vector<std::string> percentTexts;
    int lastProgressPosition = 0;
    int lastProgressUpper = 0;

    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) override {
        messages.push_back({std::string(text), std::string(caption), icon});
    }
    bool AskYesNo(std::string_view, std::string_view) override {
        ++questions;
        if (yesNoAnswers.empty()) return true;
        bool a = yesNoAnswers.front();
        yesNoAnswers.pop_front();
        return a;
    }
    bool RunCyclesDialog(CCyclesDlg& d) override { return cycles && cycles(d); }
    bool RunSaveProtocolDialog(CSaveProtocolDlg& d) override { return save && save(d); }
    bool RunGenerateIniDialog(CGenerateIniDlg& d) override { return generate && generate(d); }
    bool RunPortDialog(CSelectComPortDlg& d) override {
        ++portDialogs;
        return port && port(d);
    }
    std::unique_ptr<ProgressView> CreateProgressView(ProgressWindow&) override {
        if (failProgress) return nullptr;
        return std::make_unique<FakeProgressView>(*this);
    }

    bool HasMessage(std::string_view text, std::string_view caption) const {
        for (const auto& m : messages) {
            if (m.text == text && m.caption == caption) return true;
        }
        return false;
    }
    std::string AllMessages() const {
        std::string all;
        for (const auto& m : messages) all += "[" + m.caption + ": " + m.text + "]\n";
        return all;
    }
};

inline void FakeProgressView::Pump(ProgressWindow& window) {
    if (fe_.onPump) fe_.onPump(window);
}
inline void FakeProgressView::Update(const ProgressWindow& window) {
    if (window.kind() == ProgressKind::Scan &&
        (fe_.percentTexts.empty() || fe_.percentTexts.back() != window.percentText())) {
        fe_.percentTexts.push_back(window.percentText());
    }
    fe_.lastProgressPosition = window.position();
    fe_.lastProgressUpper = window.upper();
}

// A clock that reads `first` once and `later` afterwards.
class StepClock final : public LocalClock {
  public:
    StepClock(LocalDateTime first, LocalDateTime later) : first_(first), later_(later) {}
    LocalDateTime Now() override {
        ++reads;
        return reads == 1 ? first_ : later_;
    }
    int reads = 0;

  private:
    LocalDateTime first_;
    LocalDateTime later_;
};

// A device type file: identification block `bytes` bytes at `desadr`, one scanID line per
// entry, and a test block.
struct CfgEntry {
    int offset;
    int length;
    std::string id;
    std::string name;
};

inline std::string CfgText(int desadr, int bytes, const std::vector<CfgEntry>& entries,
                           int testAddress = 32, int testBytes = 8) {
    std::string text = "; test device\n";
    text +=
        "fetchID\tdesadr=" + std::to_string(desadr) + "\tbytes=" + std::to_string(bytes) + "\t\n";
    for (const auto& e : entries) {
        text += "scanID\treadoffset=" + std::to_string(e.offset) +
                "\tlength=" + std::to_string(e.length) + "\tIDstr=" + e.id + "\tname=" + e.name +
                "\tend=1\n";
    }
    text += "fetch1\tdesadr=" + std::to_string(testAddress) +
            "\tbytes=" + std::to_string(testBytes) + "\t\n";
    return text;
}

// Tool, simulator and working directory for one test.
class ToolTest : public ::testing::Test {
  protected:
    static constexpr int kDelay = 30;

    ToolTest() : sim_(kvx::sim::SimulatorOptions{false, 1}) {}

    void SetUp() override { sim_.start(); }

    // LINKSPY.INI in the working directory with the simulator's port and `delay`.
    void WriteIni(std::optional<int> delay = kDelay) {
        std::string text = "[RS232]\nCOM=" + sim_.devicePath() + "\n";
        if (delay) text += "[Timeout]\nTime=" + std::to_string(*delay) + "\n";
        dir_.write("LINKSPY.INI", text);
    }

    ToolEnvironment Environment() {
        ToolEnvironment env;
        env.title = "linkspy";
        env.currentDirectory = dir_.path();
        env.pathVariable = std::string();
        env.windowsDirectory = dir_.path() / "windows";
        env.clock = clock_;
        return env;
    }

    CScanToolDlg& Tool() {
        if (!tool_) {
            tool_ = std::make_unique<CScanToolDlg>(fe_, Environment());
            tool_->Start();
        }
        return *tool_;
    }

    // Member at `address` showing `text` at `offset` of its memory.
    void Member(int address, std::size_t offset, std::string_view text) {
        if (!sim_.hasMember(address)) sim_.addMember(address);
        sim_.writeText(address, offset, text);
    }

    // Frames addressed to `address`, member or not.
    std::size_t FramesTo(int address) const {
        std::size_t n = 0;
        for (const auto& f : sim_.frames()) n += f.address == address ? 1 : 0;
        return n;
    }

    kvx::testing::TempDir dir_;
    kvx::sim::Simulator sim_;
    FakeFrontEnd fe_;
    LocalClock* clock_ = nullptr;
    std::unique_ptr<CScanToolDlg> tool_;
};

}  // namespace kvx::scantool::testing
