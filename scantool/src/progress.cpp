#include "kvx/scantool/progress.h"

#include <fmt/format.h>

#include "kvx/scantool/front_end.h"

namespace kvx::scantool {

ProgressWindow::ProgressWindow(FrontEnd& frontEnd, ProgressKind kind, std::string caption)
    : frontEnd_(frontEnd), kind_(kind), caption_(std::move(caption)) {}

ProgressWindow::~ProgressWindow() {
    Destroy();
}

bool ProgressWindow::OpenProgress() {
    if (view_) return true;
    position_ = lower_;
    view_ = frontEnd_.CreateProgressView(*this);
    if (view_) view_->Update(*this);
    return view_ != nullptr;
}

void ProgressWindow::SetProgressRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    if (position_ < lower_ || position_ > upper_) position_ = lower_;
    if (view_) view_->Update(*this);
}

void ProgressWindow::SetProgressStep(int step) {
    step_ = step;
    if (view_) view_->Update(*this);
}

std::string ProgressWindow::PercentFor(int p, int lower, int upper) {
    if (upper <= lower) return "0%";
    long long percent =
        (static_cast<long long>(p) - lower) * 100 / (static_cast<long long>(upper) - lower);
    if (percent != 100) percent %= 100;
    return fmt::format("{}%", percent);
}

void ProgressWindow::Pump() {
    if (view_) view_->Pump(*this);
    if (frontEnd_.TakeStopRequests() > 0) RequestCancel();
}

int ProgressWindow::AdvanceProgress() {
    Pump();
    const int previous = position_;
    const long long next = static_cast<long long>(previous) + step_;
    position_ = next > upper_ ? lower_ : static_cast<int>(next);
    if (kind_ == ProgressKind::Scan) {
        std::string text = PercentFor(static_cast<int>(next), lower_, upper_);
        if (text != percentText_) percentText_ = std::move(text);
    }
    if (view_) view_->Update(*this);
    return previous;
}

bool ProgressWindow::TakeCancel() {
    Pump();
    const bool requested = cancelRequested_;
    cancelRequested_ = false;
    if (requested && view_) view_->Update(*this);
    return requested;
}

void ProgressWindow::RequestCancel() {
    const bool first = !cancelRequested_;
    cancelRequested_ = true;
    if (first && view_) view_->Update(*this);
}

std::string ProgressWindow::cancelNotice() const {
    if (!cancelRequested_) return {};
    return kind_ == ProgressKind::Test ? "Canceling after this cycle..."
                                       : "Canceling after this address...";
}

void ProgressWindow::SetCycleText(std::string text) {
    cycleText_ = std::move(text);
    if (view_) view_->Update(*this);
}

void ProgressWindow::Destroy() {
    view_.reset();
}

}  // namespace kvx::scantool
