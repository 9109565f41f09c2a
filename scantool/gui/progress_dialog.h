#pragma once
// The modeless progress windows of the scan and the test: a bar, the scan's percentage or the
// test's cycle, and Cancel, which only raises the window's flag. The message pump of the
// core's loop (AdvanceProgress, TakeCancel) dispatches waiting events without ever waiting.

#include <QDialog>
#include <QPointer>

#include "kvx/scantool/progress.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kvx::scantool::gui {

class ProgressDialog : public QDialog {
    Q_OBJECT
  public:
    ProgressDialog(ProgressWindow& window, QWidget* owner);

    // Shows range, position and texts of the window.
    void Show(const ProgressWindow& window);

    QProgressBar* bar() const { return bar_; }
    QLabel* text() const { return text_; }  // percentage (scan) or cycle (test)
    QPushButton* cancelButton() const { return cancel_; }
    QLabel* notice() const { return notice_; }  // a pending Cancel

  public slots:
    // Cancel, Escape and closing the window only raise the flag; the window stays.
    void reject() override;
    void accept() override {}

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    ProgressWindow& window_;
    QProgressBar* bar_;
    QLabel* text_;
    QLabel* notice_;
    QPushButton* cancel_;
};

// The core's view of one progress window.
class QtProgressView final : public ProgressView {
  public:
    QtProgressView(ProgressWindow& window, QWidget* owner);
    ~QtProgressView() override;
    void Pump(ProgressWindow& window) override;
    void Update(const ProgressWindow& window) override;
    ProgressDialog* dialog() const { return dialog_; }

  private:
    QPointer<ProgressDialog> dialog_;
};

}  // namespace kvx::scantool::gui
