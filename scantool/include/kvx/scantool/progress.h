#pragma once
// The progress windows of the scan and the test, without their look: range, step, position,
// the scan's percentage text, the test's cycle text and the Cancel request. A front end
// shows them through a ProgressView and feeds Cancel presses back with RequestCancel.

#include <memory>
#include <string>

namespace kvx::scantool {

class FrontEnd;
class ProgressWindow;

enum class ProgressKind { Scan, Test };

// The front end's side of one open progress window.
class ProgressView {
  public:
    virtual ~ProgressView() = default;
    // Dispatch waiting input without waiting for any; a Cancel press found here calls
    // window.RequestCancel().
    virtual void Pump(ProgressWindow& window) = 0;
    // Range, position, percentage or cycle text changed.
    virtual void Update(const ProgressWindow& window) = 0;
};

class ProgressWindow {
  public:
    // `caption` empty gives the window's default caption.
    ProgressWindow(FrontEnd& frontEnd, ProgressKind kind, std::string caption);
    ~ProgressWindow();  // destroys the view if it is open
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    // True when the front end created its view. Without a view every operation still keeps
    // its figures, so the work goes on without a window.
    bool OpenProgress();
    void SetProgressRange(int lower, int upper);
    void SetProgressStep(int step);
    // Advances by one step (the position wraps to the lower end when it passes the upper
    // end) and returns the position before the advance.
    int AdvanceProgress();
    // True once per run of Cancel presses since the last look.
    bool TakeCancel();
    void SetCycleText(std::string text);
    // Called by the front end for Cancel, Escape or closing the window.
    void RequestCancel();
    void Destroy();

    ProgressKind kind() const { return kind_; }
    const std::string& caption() const { return caption_; }
    int lower() const { return lower_; }
    int upper() const { return upper_; }
    int step() const { return step_; }
    int position() const { return position_; }
    // Scan window: "0 %" at first, then "25%" and so on. Test window: unused.
    const std::string& percentText() const { return percentText_; }
    const std::string& cycleText() const { return cycleText_; }
    // A Cancel that the work has not looked at yet: the test finishes its cycle first, the
    // scan its address. The window shows the notice and no Cancel button to press again.
    bool cancelPending() const { return cancelRequested_; }
    std::string cancelNotice() const;
    bool isOpen() const { return view_ != nullptr; }

    // Percentage text for position p within lower..upper: truncated, wrapped with the bar,
    // 100 itself kept ("100%").
    static std::string PercentFor(int p, int lower, int upper);

  private:
    // Waiting input, then requests to end the program, which count as Cancel.
    void Pump();

    FrontEnd& frontEnd_;
    ProgressKind kind_;
    std::string caption_;
    int lower_ = 0;
    int upper_ = 10000;
    int step_ = 1;
    int position_ = 0;
    bool cancelRequested_ = false;
    std::string percentText_ = " 0 %";
    std::string cycleText_;
    std::unique_ptr<ProgressView> view_;
};

// The scan's window, caption "KVX - Link-Spy Progress -".
class CScanProgressDlg : public ProgressWindow {
  public:
    explicit CScanProgressDlg(FrontEnd& frontEnd, std::string caption = "LINK-SPY")
        : ProgressWindow(frontEnd, ProgressKind::Scan, std::move(caption)) {}
};

// The test's window, caption "KVX - Bus-Test Progress -".
class CTestProgressDlg : public ProgressWindow {
  public:
    explicit CTestProgressDlg(FrontEnd& frontEnd, std::string caption = {})
        : ProgressWindow(frontEnd, ProgressKind::Test, std::move(caption)) {}
};

}  // namespace kvx::scantool
