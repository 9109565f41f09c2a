// The bus test: the test block of every found member read over the chosen cycles, the
// running counts and the percentages.

#include <fstream>
#include <optional>

#include "kvx/config/device_description.h"
#include "kvx/platform/file_name_text.h"
#include "kvx/scantool/dialogs.h"
#include "kvx/scantool/progress.h"
#include "kvx/scantool/scan_tool.h"
#include "kvx/scantool/tool_ini.h"
#include "tool_texts.h"

namespace kvx::scantool {

using namespace texts;

bool CScanToolDlg::LoadTestBlocks() {
    for (auto& e : scanTable_) {
        if (!e.present) continue;
        std::ifstream in(e.cfgPath.empty()
                             ? workingDirectory_ / platform::FileNameFromAnsi(e.cfgFileName)
                             : e.cfgPath,
                         std::ios::binary);
        if (!in.is_open()) {
            Warn("CFG-file not found!", kFileError);
            return false;
        }
        config::ReadToolTestBlock(in, e.testAddress, e.testBytes);
    }
    return true;
}

void CScanToolDlg::TakeTime(bool keepText) {
    const auto now = Now();
    endTime_ = {now.hour, now.minute, now.second};
    if (keepText) endText_ = TimeText(now);
}

void CScanToolDlg::StatusUpdate(int extra) {
    cycleField_ = CycleFieldText(completedCycles_ + extra, requestedCycles_);
    elapsedField_ = ElapsedText(startTime_, endTime_);
    fe_.StatusChanged();
}

void CScanToolDlg::PercentageLines() {
    for (int a = 0; a <= kMaxAddress; ++a) {
        const auto& e = scanTable_[static_cast<std::size_t>(a)];
        if (!e.present) continue;
        SetMemberLine(a, MemberLinePrefix(a) + e.memberName + "\t" + e.cfgFileName + "\t" +
                             TwoDigitCount(e.okCount) + " / " + TwoDigitCount(completedCycles_) +
                             "\t" + PercentText(AnswerPercent(e.okCount, completedCycles_)));
    }
}

void CScanToolDlg::OnTest() {
    busy_ = true;
    lastTestCompleted_ = false;
    ReadDelay(kDelayBeforeTest, true);

    CCyclesDlg cycles(foundMembers_);
    cycles.Open();
    if (!fe_.RunCyclesDialog(cycles)) {
        SetButtons({Button::Generate, Button::Scan, Button::Com}, true);
        busy_ = false;
        fe_.StopRequestsSettled();
        return;
    }
    requestedCycles_ = cycles.cycles();
    completedCycles_ = 0;
    StatusUpdate(0);
    SetButtons({Button::Scan, Button::Com, Button::Test, Button::Generate, Button::Report}, false);

    bool failed = false;
    std::optional<CTestProgressDlg> progress;
    if (LoadTestBlocks()) {
        for (auto& e : scanTable_) e.okCount = 0;
        progress.emplace(fe_, "KVX - Bus-Test Progress -");
        progress->OpenProgress();
        progress->SetProgressRange(0, foundMembers_ * requestedCycles_);
        progress->SetProgressStep(1);
        const auto start = Now();
        startTime_ = {start.hour, start.minute, start.second};
        startText_ = TimeText(start);

        while (completedCycles_ < requestedCycles_) {
            const int k = completedCycles_ + 1;
            if (progress->TakeCancel()) {
                TakeTime(true);
                StatusUpdate(1);
                fe_.ShowMessage("Test is canceled", env_.title, MessageIcon::Information);
                break;
            }
            for (int a = 0; a <= kMaxAddress; ++a) {
                auto& e = scanTable_[static_cast<std::size_t>(a)];
                if (!e.present) continue;
                if (!PortAccessCheck()) {
                    failed = true;
                    break;
                }
                bus_.answerTimeout = AnswerTimeout(requestDelay_, e.testBytes);
                const int n = bus_.FetchBlock(receive_, a, e.testAddress, e.testBytes, 0);
                if (n == e.testBytes + 11) ++e.okCount;
                SetMemberLine(a, MemberLinePrefix(a) + e.memberName + "\t" + e.cfgFileName + "\t" +
                                     TwoDigitCount(e.okCount) + " / " + TwoDigitCount(k));
                progress->AdvanceProgress();
                progress->SetCycleText(std::to_string(k));
            }
            TakeTime(false);
            StatusUpdate(1);
            if (failed) {
                Warn("Test failed!\nNo access to COM-Port!", env_.title);
                break;
            }
            ++completedCycles_;
        }
    }

    TakeTime(true);
    StatusUpdate(0);
    SetButtons({Button::Test}, true);
    // Without a completed cycle there is no share to show and nothing to report.
    if (!failed && completedCycles_ > 0) {
        SetButtons({Button::Report}, true);
        PercentageLines();
    }
    SetButtons({Button::Generate, Button::Scan, Button::Com}, true);
    busy_ = false;
    progress.reset();
    fe_.StopRequestsSettled();
    lastTestCompleted_ = !failed && completedCycles_ == requestedCycles_;
}

}  // namespace kvx::scantool
