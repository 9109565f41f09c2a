#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QShortcut>

#include "dialog_units.h"
#include "help.h"
#include "member_list.h"
#include "picture_button.h"
#include "progress_dialog.h"
#include "text.h"
#include "tool_dialogs.h"

// The pictures, the icon and the help page live in the library's resources; a static
// library must register them itself.
static void InitLinkspyResources() {
    Q_INIT_RESOURCE(linkspy);
}

namespace kvx::scantool::gui {

namespace {

struct ButtonSpec {
    Button id;
    const char* picture;
    const char* caption;
    const char* tip;  // empty: none
};

constexpr std::array<ButtonSpec, 6> kButtons = {{
    {Button::Scan, "Scan", "&SCAN", "The bus is searched over after members "},
    {Button::Test, "Test", "&TEST", "Test the available bus members"},
    {Button::Report, "Report", "&REPORT", "Makes a test protocol"},
    {Button::Generate, "Generate", "&GENERATE", "Generate fenlodrv.ini for OPC-Server"},
    {Button::Com, "Com", "&COM", "COM-Port setting"},
    {Button::Help, "Help", "&HELP", ""},
}};

// Picture button places in dialog units: x, width (all at y 4, height 35).
constexpr std::array<std::array<int, 2>, 6> kButtonPlaces = {
    {{2, 38}, {39, 38}, {77, 38}, {115, 38}, {153, 42}, {302, 39}}};

QLabel* StatusField(QWidget* parent, Qt::Alignment alignment) {
    auto* field = new QLabel(parent);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setAlignment(alignment | Qt::AlignVCenter);
    return field;
}

}  // namespace

ScanToolWindow::ScanToolWindow(ToolEnvironment environment, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      tool_(*this, std::move(environment)) {
    InitLinkspyResources();
    setWindowTitle(QStringLiteral("KVX-RS485-LINK-SPY "));
    setWindowIcon(QIcon(QStringLiteral(":/linkspy.svg")));

    frame_ = new QGroupBox(this);
    for (const auto& face : kButtons) {
        auto* button =
            new PictureButton(QString::fromLatin1(face.picture), QString::fromLatin1(face.caption),
                              face.id != Button::Help, this);
        if (*face.tip) button->setToolTip(QString::fromLatin1(face.tip));
        // The row from the left stands evenly spaced; HELP keeps the middle of its place.
        if (face.id != Button::Help) button->setPictureAlignment(Qt::AlignLeft);
        buttons_[static_cast<std::size_t>(face.id)] = button;
    }
    list_ = new MemberList(this);
    port_ = StatusField(this, Qt::AlignLeft);
    cycle_ = StatusField(this, Qt::AlignHCenter);
    elapsed_ = StatusField(this, Qt::AlignHCenter);

    // The sequences run from the event loop, not inside the button's mouse handling: they
    // pump events themselves while they run.
    auto run = [this](Button b, void (CScanToolDlg::*handler)()) {
        connect(
            button(b), &QAbstractButton::clicked, this, [this, handler] { (tool_.*handler)(); },
            Qt::QueuedConnection);
    };
    run(Button::Scan, &CScanToolDlg::OnScan);
    run(Button::Test, &CScanToolDlg::OnTest);
    run(Button::Report, &CScanToolDlg::OnReport);
    run(Button::Generate, &CScanToolDlg::OnGenerate);
    run(Button::Com, &CScanToolDlg::OnCom);
    connect(button(Button::Help), &QAbstractButton::clicked, this, &ScanToolWindow::ShowHelp);
    auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpKey, &QShortcut::activated, this, &ScanToolWindow::ShowHelp);

    // The window's own menu (right mouse button) carries the About entry: the title bar's
    // system menu belongs to the window manager.
    about_ = new QAction(QStringLiteral("Inf&o über LINKSPY..."), this);
    connect(about_, &QAction::triggered, this, &ScanToolWindow::ShowAbout);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    addAction(about_);

    Relayout();
    ButtonsChanged();
    StatusChanged();
}

ScanToolWindow::~ScanToolWindow() = default;

void ScanToolWindow::Start() {
    tool_.Start();
}

void ScanToolWindow::Relayout() {
    const DialogUnits du(font());
    setFixedSize(du.size(343, 319));
    Place(frame_, du, 2, 0, 339, 40);
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        Place(buttons_[i], du, kButtonPlaces[i][0], 4, kButtonPlaces[i][1], 35);
        buttons_[i]->raise();
    }
    Place(list_, du, 2, 43, 339, 262);
    LayoutStatusRow();
}

void ScanToolWindow::LayoutStatusRow() {
    // Port label, cycle field and elapsed-time field side by side at the bottom. Each field
    // has at least its width in the original layout and grows to its longest text: device
    // paths are longer than "COM1".
    const DialogUnits du(font());
    const QFontMetrics fm(font());
    // Text, frame and the label's indent of half an "x" on either side.
    const auto need = [&](const QString& text) {
        return fm.horizontalAdvance(text) + 2 * port_->frameWidth() +
               fm.horizontalAdvance(QLatin1Char('x'));
    };
    const int gap = du.x(3);
    const int top = du.y(307);
    const int height = du.y(11);
    const int right = du.x(341);
    const int cycleWidth = std::max(du.x(57), need(QStringLiteral("10000 / 10000 ")));
    const int elapsedWidth = std::max(du.x(41), need(QStringLiteral("00:00:00 ")));
    const QString port = FromSystem(tool_.portName());
    const int portRoom = right - du.x(1) - 2 * gap - cycleWidth - elapsedWidth;
    const int portWidth = std::min(portRoom, std::max(du.x(35), need(port)));
    const int pad = need(QString());
    port_->setGeometry(du.x(1), top, portWidth, height);
    port_->setText(portWidth >= need(port) ? port
                                           : fm.elidedText(port, Qt::ElideMiddle, portWidth - pad));
    port_->setToolTip(port);
    cycle_->setGeometry(port_->geometry().right() + 1 + gap, top, cycleWidth, height);
    elapsed_->setGeometry(cycle_->geometry().right() + 1 + gap, top, elapsedWidth, height);
}

void ScanToolWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) Relayout();
    QWidget::changeEvent(event);
}

void ScanToolWindow::closeEvent(QCloseEvent* event) {
    // A running scan or test keeps its window.
    if (tool_.CanClose()) {
        event->accept();
    } else {
        event->ignore();
    }
}

QWidget* ScanToolWindow::DialogParent() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    return isVisible() ? this : nullptr;
}

// ---- FrontEnd -------------------------------------------------------------------------

void ScanToolWindow::ShowMessage(std::string_view text, std::string_view caption,
                                 MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::Information,
                    FromAnsi(caption), FromAnsi(text), QMessageBox::Ok, DialogParent());
    box.exec();
}

bool ScanToolWindow::AskYesNo(std::string_view text, std::string_view caption) {
    QMessageBox box(QMessageBox::Question, FromAnsi(caption), FromAnsi(text),
                    QMessageBox::Yes | QMessageBox::No, DialogParent());
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

bool ScanToolWindow::RunCyclesDialog(CCyclesDlg& dialog) {
    CyclesDialog window(dialog, DialogParent());
    return window.exec() == QDialog::Accepted;
}

bool ScanToolWindow::RunSaveProtocolDialog(CSaveProtocolDlg& dialog) {
    SaveProtocolDialog window(dialog, DialogParent());
    return window.exec() == QDialog::Accepted;
}

bool ScanToolWindow::RunGenerateIniDialog(CGenerateIniDlg& dialog) {
    GenerateIniDialog window(dialog, DialogParent());
    return window.exec() == QDialog::Accepted;
}

bool ScanToolWindow::RunPortDialog(CSelectComPortDlg& dialog) {
    PortDialog window(dialog, *this, DialogParent());
    return window.exec() == QDialog::Accepted;
}

std::unique_ptr<ProgressView> ScanToolWindow::CreateProgressView(ProgressWindow& window) {
    return std::make_unique<QtProgressView>(window, this);
}

void ScanToolWindow::MemberListReset() {
    list_->clear();
}

void ScanToolWindow::MemberLineAdded(int index) {
    list_->insertItem(index, FromAnsi(tool_.memberList()[static_cast<std::size_t>(index)]));
}

void ScanToolWindow::MemberLineReplaced(int index) {
    if (auto* item = list_->item(index)) {
        item->setText(FromAnsi(tool_.memberList()[static_cast<std::size_t>(index)]));
    }
}

void ScanToolWindow::ButtonsChanged() {
    for (const auto& face : kButtons) button(face.id)->setEnabled(tool_.enabled(face.id));
}

void ScanToolWindow::StatusChanged() {
    cycle_->setText(FromAnsi(tool_.cycleField()));
    elapsed_->setText(FromAnsi(tool_.elapsedField()));
    LayoutStatusRow();
}

// ---- help and About -------------------------------------------------------------------

void ScanToolWindow::ShowHelp() {
    QString error;
    if (!OpenHelp(error)) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("ZAN LINKSPY HELP-ERROR"), error,
                        QMessageBox::Ok, DialogParent());
        box.exec();
    }
}

void ScanToolWindow::ShowAbout() {
    AboutDialog about(DialogParent());
    about.exec();
}

}  // namespace kvx::scantool::gui
