#include "progress_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "dialog_units.h"
#include "text.h"

namespace kvx::scantool::gui {

ProgressDialog::ProgressDialog(ProgressWindow& window, QWidget* owner)
    : QDialog(owner), window_(window) {
    setModal(false);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowTitle(FromAnsi(window.caption()));
    const DialogUnits du(font());
    bar_ = new QProgressBar(this);
    bar_->setTextVisible(false);
    text_ = new QLabel(this);
    notice_ = new QLabel(this);
    notice_->setAlignment(Qt::AlignCenter);
    cancel_ = new QPushButton(tr("Cancel"), this);
    // Enter must not press Cancel: the default button only carries the look.
    cancel_->setAutoDefault(false);
    connect(cancel_, &QPushButton::clicked, this, &ProgressDialog::reject);

    if (window.kind() == ProgressKind::Scan) {
        setFixedSize(du.size(172, 57));
        Place(bar_, du, 9, 15, 154, 13);
        // Wider than the template's 18 units around the same centre, so "100%" always fits.
        Place(text_, du, 71, 4, 30, 8);
        text_->setAlignment(Qt::AlignCenter);
        Place(notice_, du, 9, 30, 154, 8);
        Place(cancel_, du, 61, 39, 50, 14);
    } else {
        // Four units higher than the template, so that the notice of a pending Cancel has
        // its line between the bar and the button.
        setFixedSize(du.size(186, 65));
        Place(bar_, du, 14, 19, 154, 13);
        auto* label = new QLabel(tr("Cycle:"), this);
        Place(label, du, 60, 7, 32, 8);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Place(text_, du, 94, 7, 74, 8);
        Place(notice_, du, 14, 33, 154, 8);
        Place(cancel_, du, 68, 44, 50, 14);
    }
    Show(window);
}

void ProgressDialog::Show(const ProgressWindow& window) {
    bar_->setRange(window.lower(), window.upper());
    bar_->setValue(window.position());
    const QString text =
        FromAnsi(window.kind() == ProgressKind::Scan ? window.percentText() : window.cycleText());
    if (text_->text() != text) text_->setText(text);
    // A pending Cancel shows at once, and the button cannot be pressed again meanwhile.
    notice_->setText(FromAnsi(window.cancelNotice()));
    cancel_->setEnabled(!window.cancelPending());
}

void ProgressDialog::reject() {
    window_.RequestCancel();
}

void ProgressDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ProgressDialog::closeEvent(QCloseEvent* event) {
    window_.RequestCancel();
    event->ignore();
}

QtProgressView::QtProgressView(ProgressWindow& window, QWidget* owner)
    : dialog_(new ProgressDialog(window, owner)) {
    dialog_->show();
    if (window.kind() == ProgressKind::Test) {
        // The test's window moves 240 pixels up from where it opened, so the member lines
        // below it stay in sight; it stays on the screen.
        QPoint at = dialog_->pos() - QPoint(0, 240);
        if (const QScreen* screen = dialog_->screen()) {
            at.setY(std::max(at.y(), screen->availableGeometry().top()));
        }
        dialog_->move(at);
    }
}

QtProgressView::~QtProgressView() {
    QWidget* owner = dialog_ ? dialog_->parentWidget() : nullptr;
    const bool wasActive = dialog_ && dialog_->isActiveWindow();
    delete dialog_.data();
    // The keyboard goes back to the window the work was started from, also where no window
    // manager hands the activation on.
    if (owner && (wasActive || !QApplication::activeWindow())) owner->activateWindow();
}

void QtProgressView::Pump(ProgressWindow&) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtProgressView::Update(const ProgressWindow& window) {
    if (dialog_) dialog_->Show(window);
}

}  // namespace kvx::scantool::gui
