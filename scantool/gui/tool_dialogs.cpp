#include "tool_dialogs.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTextCursor>
#include <algorithm>

#include "dialog_units.h"
#include "kvx/scantool/front_end.h"
#include "text.h"

namespace kvx::scantool::gui {

namespace {

QLabel* Label(const QString& text, QWidget* parent, const DialogUnits& du, int x, int y, int w,
              int h = 8) {
    auto* label = new QLabel(text, parent);
    Place(label, du, x, y, w, h);
    return label;
}

QPushButton* Button(const QString& text, QWidget* parent, const DialogUnits& du, int x, int y,
                    int w = 50, int h = 14) {
    auto* button = new QPushButton(text, parent);
    Place(button, du, x, y, w, h);
    return button;
}

void FixDialog(QDialog* dialog, const DialogUnits& du, const QString& title, int w, int h) {
    dialog->setWindowTitle(title);
    dialog->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    dialog->setFixedSize(du.size(w, h));
}

}  // namespace

void FoldingComboBox::hidePopup() {
    // Also called when the box is hidden with its window; only a list that was open folds.
    const bool wasOpen = view()->isVisible();
    QComboBox::hidePopup();
    if (wasOpen) emit folded();
}

// ---- cycles ---------------------------------------------------------------------------

CyclesDialog::CyclesDialog(CCyclesDlg& dialog, QWidget* parent) : QDialog(parent), dialog_(dialog) {
    const DialogUnits du(font());
    FixDialog(this, du, QStringLiteral("KVX  -Bus-Test Cycles -"), 160, 113);

    Label(tr("Cycles:"), this, du, 10, 10, 34);
    number_ = new QLineEdit(this);
    Place(number_, du, 46, 8, 44, 12);
    number_->setAlignment(Qt::AlignRight);
    // The field only shows the number the trackbar sets, so it always shows the number of
    // cycles that will run; the trackbar takes the keys (arrows, Page Up/Down, Home, End).
    number_->setReadOnly(true);
    number_->setFocusPolicy(Qt::NoFocus);

    trackbar_ = new QSlider(Qt::Horizontal, this);
    Place(trackbar_, du, 7, 26, 146, 16);
    trackbar_->setRange(CCyclesDlg::kMinCycles, CCyclesDlg::kMaxCycles);
    trackbar_->setPageStep(100);
    trackbar_->setTickPosition(QSlider::TicksBelow);
    trackbar_->setTickInterval(1000);

    min_ = Label(QString::fromStdString(dialog.minLabel()), this, du, 7, 44, 40);
    max_ = Label(QString::fromStdString(dialog.maxLabel()), this, du, 113, 44, 40);
    max_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    Label(tr("Time ca.:"), this, du, 10, 64, 34);
    estimate_ = Label({}, this, du, 46, 64, 107);

    auto* ok = Button(tr("&OK"), this, du, 25, 88);
    auto* cancel = Button(tr("&Cancel"), this, du, 85, 88);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    connect(trackbar_, &QSlider::valueChanged, this, [this](int position) {
        dialog_.SetPosition(position);
        ShowValues();
    });
    trackbar_->setFocus();
    ShowValues();
}

void CyclesDialog::ShowValues() {
    {
        const QSignalBlocker block(trackbar_);
        trackbar_->setValue(dialog_.cycles());
    }
    number_->setText(QString::fromStdString(dialog_.numberText()));
    estimate_->setText(FromAnsi(dialog_.estimateText()));
}

// ---- save protocol --------------------------------------------------------------------

SaveProtocolDialog::SaveProtocolDialog(CSaveProtocolDlg& dialog, QWidget* parent)
    : QDialog(parent), dialog_(dialog) {
    const DialogUnits du(font());
    FixDialog(this, du, QStringLiteral("KVX - Save Protokoll - "), 310, 162);

    Label(tr("The file is saved in the current directory:"), this, du, 7, 7, 296);
    directory_ = Label(FromAnsi(dialog.directoryDisplay()), this, du, 7, 17, 296);
    directory_->setToolTip(FromAnsi(dialog.directory()));

    Label(tr("Short Comment (max 250):"), this, du, 7, 31, 200);
    comment_ = new QPlainTextEdit(this);
    Place(comment_, du, 7, 41, 296, 52);
    comment_->setTabChangesFocus(true);

    Label(tr("File name:"), this, du, 7, 99, 120);
    fileName_ = new QLineEdit(this);
    Place(fileName_, du, 7, 109, 180, 12);
    fileName_->setReadOnly(true);
    change_ = Button(tr("C&hange"), this, du, 193, 108);

    Label(tr("File type:"), this, du, 7, 127, 120);
    type_ = new FoldingComboBox(this);
    Place(type_, du, 7, 137, 140, 13);
    type_->setEditable(true);
    type_->setInsertPolicy(QComboBox::NoInsert);
    for (const char* entry : CSaveProtocolDlg::kTypeEntries) type_->addItem(FromAnsi(entry));
    type_->setCurrentIndex(1);

    auto* ok = Button(tr("&OK"), this, du, 193, 137);
    auto* cancel = Button(tr("&Cancel"), this, du, 253, 137);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &SaveProtocolDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    connect(comment_, &QPlainTextEdit::textChanged, this, &SaveProtocolDialog::CommentChanged);
    connect(change_, &QPushButton::clicked, this, [this] {
        dialog_.PressChange();
        fileName_->setReadOnly(false);
        fileName_->setFocus();
        fileName_->selectAll();
    });
    connect(fileName_, &QLineEdit::textEdited, this,
            [this](const QString& text) { dialog_.SetFileName(ToAnsi(text)); });
    connect(type_, &FoldingComboBox::folded, this, &SaveProtocolDialog::TypeFolded);
    connect(type_, &QComboBox::activated, this, &SaveProtocolDialog::TypeFolded);
    comment_->setFocus();
    ShowFileName();
}

void SaveProtocolDialog::CommentChanged() {
    const QString shown = comment_->toPlainText();
    dialog_.SetComment(ToAnsi(shown));
    const QString kept = FromAnsi(dialog_.comment());
    if (kept != shown) {
        // Past the limit: the comment keeps its first 250 characters.
        const QSignalBlocker block(comment_);
        comment_->setPlainText(kept);
        comment_->moveCursor(QTextCursor::End);
    }
    ShowFileName();
}

void SaveProtocolDialog::TypeFolded() {
    // Closing the list with one of its entries selected, or with typed text (no entry).
    dialog_.CloseTypeList(type_->findText(type_->currentText(), Qt::MatchExactly));
    ShowFileName();
}

void SaveProtocolDialog::ShowFileName() {
    const QString name = FromAnsi(dialog_.fileName());
    if (fileName_->text() != name) fileName_->setText(name);
}

void SaveProtocolDialog::accept() {
    const auto outcome = dialog_.PressOk();
    ShowFileName();
    if (outcome == CSaveProtocolDlg::Outcome::Ok) {
        QDialog::accept();
    } else {
        QDialog::reject();
    }
}

// ---- generate -------------------------------------------------------------------------

GenerateIniDialog::GenerateIniDialog(CGenerateIniDlg& dialog, QWidget* parent)
    : QDialog(parent), dialog_(dialog) {
    const DialogUnits du(font());
    FixDialog(this, du, QStringLiteral("KVX - Generate Initfile -"), 261, 137);

    auto* where = new QGroupBox(tr("The file is saved in the directory:"), this);
    Place(where, du, 7, 5, 247, 50);
    current_ = new QRadioButton(FromAnsi(dialog.currentDirectoryDisplay()), where);
    current_->setGeometry(du.rect(8, 14, 233, 12));
    current_->setToolTip(FromPath(dialog.currentDirectoryPath()));
    windows_ = new QRadioButton(FromPath(dialog.windowsDirectoryPath()), where);
    windows_->setGeometry(du.rect(8, 31, 233, 12));

    auto* select = new QGroupBox(tr("Select"), this);
    Place(select, du, 7, 60, 247, 48);
    same_ = new QRadioButton(tr("Same Com-Port"), select);
    same_->setGeometry(du.rect(8, 13, 90, 12));
    change_ = new QRadioButton(tr("Change Com-Port"), select);
    change_->setGeometry(du.rect(8, 29, 90, 12));
    ports_ = new QComboBox(select);
    ports_->setGeometry(du.rect(104, 28, 70, 13));
    ports_->setEditable(true);
    ports_->setInsertPolicy(QComboBox::NoInsert);
    for (const char* port : CGenerateIniDlg::kPortEntries)
        ports_->addItem(QString::fromLatin1(port));

    auto* ok = Button(tr("&OK"), this, du, 150, 116);
    auto* cancel = Button(tr("&Cancel"), this, du, 204, 116);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &GenerateIniDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // The dialog object has opened: show its choices.
    ports_->setCurrentText(FromSystem(dialog.portText()));
    same_->setChecked(!dialog.changePort());
    change_->setChecked(dialog.changePort());
    ports_->setVisible(dialog.portListVisible());
    current_->setChecked(dialog.targetPath() == dialog.currentDirectoryPath());
    windows_->setChecked(dialog.targetPath() == dialog.windowsDirectoryPath() &&
                         !current_->isChecked());

    connect(current_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) dialog_.ChooseCurrentDirectory();
    });
    connect(windows_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) dialog_.ChooseWindowsDirectory();
    });
    connect(change_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            dialog_.SelectChangePort();
        } else {
            dialog_.SelectSamePort();
        }
        ports_->setVisible(dialog_.portListVisible());
    });
    connect(ports_, &QComboBox::currentTextChanged, this,
            [this](const QString& text) { dialog_.SetPortText(ToSystem(text)); });
}

void GenerateIniDialog::accept() {
    dialog_.SetPortText(ToSystem(ports_->currentText()));
    dialog_.PressOk();
    QDialog::accept();
}

// ---- port selection -------------------------------------------------------------------

PortDialog::PortDialog(CSelectComPortDlg& dialog, FrontEnd& frontEnd, QWidget* parent)
    : QDialog(parent), dialog_(dialog), frontEnd_(frontEnd) {
    const DialogUnits du(font());
    ports_ = new QComboBox(this);
    ports_->setEditable(true);
    ports_->setInsertPolicy(QComboBox::NoInsert);
    for (const auto& name : dialog.entries()) ports_->addItem(FromSystem(name));
    ports_->setCurrentIndex(dialog.selected());
    ports_->setCurrentText(FromSystem(dialog.editText()));

    // Device paths are longer than "COM1": the list widens to its longest entry.
    int listWidth = du.x(67);
    const QFontMetrics fm(font());
    for (int i = 0; i < ports_->count(); ++i) {
        listWidth = std::max(listWidth, fm.horizontalAdvance(ports_->itemText(i)) + du.x(24));
    }
    listWidth = std::min(listWidth, du.x(260));
    ports_->setGeometry(du.x(14), du.y(7), listWidth, du.y(13));
    const int buttonsLeft = du.x(14) + listWidth + du.x(7);
    auto* ok = new QPushButton(tr("&OK"), this);
    test_ = new QPushButton(tr("&Test"), this);
    auto* cancel = new QPushButton(tr("&Cancel"), this);
    ok->setGeometry(buttonsLeft, du.y(7), du.x(50), du.y(14));
    test_->setGeometry(buttonsLeft, du.y(25), du.x(50), du.y(14));
    cancel->setGeometry(buttonsLeft, du.y(43), du.x(50), du.y(14));
    ok->setDefault(true);
    setWindowTitle(QStringLiteral("KVX - Select Com-Port -"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(std::max(du.x(152), buttonsLeft + du.x(50) + du.x(14)), du.y(65));

    connect(ok, &QPushButton::clicked, this, &PortDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(test_, &QPushButton::clicked, this, [this] { dialog_.PressTest(frontEnd_); });
    connect(ports_, &QComboBox::activated, this, [this](int index) { dialog_.Select(index); });
    connect(ports_, &QComboBox::editTextChanged, this,
            [this](const QString& text) { dialog_.SetEditText(ToSystem(text)); });
}

void PortDialog::accept() {
    dialog_.SetEditText(ToSystem(ports_->currentText()));
    dialog_.PressOk();
    QDialog::accept();
}

// ---- about ----------------------------------------------------------------------------

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    const DialogUnits du(font());
    FixDialog(this, du, QStringLiteral("About KVX-RS485-LINK-SPY"), 235, 55);
    auto* icon = new QLabel(this);
    Place(icon, du, 7, 7, 24, 22);
    const int side = std::min(icon->width(), icon->height());
    icon->setPixmap(windowIcon().pixmap(side, side));
    Label(QStringLiteral("KVX-RS485-LINK-SPY "), this, du, 40, 8, 130);
    auto* version = Label(QStringLiteral("Version 1.00.9"), this, du, 40, 19, 130);
    version->setObjectName(QStringLiteral("version"));
    Label(tr("Service tool of the KVX RS485 field bus"), this, du, 40, 34, 188);
    auto* ok = Button(tr("&OK"), this, du, 178, 7);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace kvx::scantool::gui
