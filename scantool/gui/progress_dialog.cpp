#include "progress_dialog.h"

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
        Place(cancel_, du, 61, 39, 50, 14);
    } else {
        setFixedSize(du.size(186, 61));
        Place(bar_, du, 14, 19, 154, 13);
        auto* label = new QLabel(tr("Cycle:"), this);
        Place(label, du, 60, 7, 32, 8);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Place(text_, du, 94, 7, 74, 8);
        Place(cancel_, du, 68, 40, 50, 14);
    }
    Show(window);
}

void ProgressDialog::Show(const ProgressWindow& window) {
    bar_->setRange(window.lower(), window.upper());
    bar_->setValue(window.position());
    const QString text =
        FromAnsi(window.kind() == ProgressKind::Scan ? window.percentText() : window.cycleText());
    if (text_->text() != text) text_->setText(text);
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
    delete dialog_.data();
}

void QtProgressView::Pump(ProgressWindow&) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtProgressView::Update(const ProgressWindow& window) {
    if (dialog_) dialog_->Show(window);
}

}  // namespace kvx::scantool::gui
