#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include "dialog_units.h"
#include "help.h"
#include "member_list.h"
#include "message_box.h"
#include "picture_button.h"
#include "progress_dialog.h"
#include "text.h"
#include "tool_dialogs.h"
#include "window_fit.h"

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
    // The working folder, in the row's free room: a click chooses one, the arrow offers the
    // recent ones.
    folder_ = new QToolButton(this);
    folder_->setText(QStringLiteral("&Folder"));
    folder_->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    folder_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    folder_->setPopupMode(QToolButton::MenuButtonPopup);
    folder_->setToolTip(
        QStringLiteral("Working folder: the .cfg files, LINKSPY.INI and the files "
                       "written (the arrow: recent folders)"));
    folder_->setFocusPolicy(Qt::StrongFocus);
    recent_ = new QMenu(QStringLiteral("&Recent folders"), this);
    connect(recent_, &QMenu::aboutToShow, this, &ScanToolWindow::FillRecentMenu);
    folder_->setMenu(recent_);
    connect(folder_, &QToolButton::clicked, this, &ScanToolWindow::ChooseFolder,
            Qt::QueuedConnection);
    list_ = new MemberList(this);
    port_ = StatusField(this, Qt::AlignLeft);
    cycle_ = StatusField(this, Qt::AlignHCenter);
    elapsed_ = StatusField(this, Qt::AlignHCenter);

    // The sequences run from the event loop, not inside the button's mouse handling: they
    // pump events themselves while they run. The keyboard then goes on from the button that
    // started the run, which lost the focus while it was disabled.
    auto run = [this](Button b, void (CScanToolDlg::*handler)()) {
        connect(
            button(b), &QAbstractButton::clicked, this,
            [this, b, handler] {
                (tool_.*handler)();
                if (button(b)->isEnabled()) button(b)->setFocus(Qt::OtherFocusReason);
            },
            Qt::QueuedConnection);
    };
    run(Button::Scan, &CScanToolDlg::OnScan);
    run(Button::Test, &CScanToolDlg::OnTest);
    run(Button::Report, &CScanToolDlg::OnReport);
    run(Button::Generate, &CScanToolDlg::OnGenerate);
    run(Button::Com, &CScanToolDlg::OnCom);
    connect(button(Button::Help), &QAbstractButton::clicked, this, &ScanToolWindow::ShowHelp);
    help_ = new HelpViewer(this);
    connect(help_, &HelpViewer::failed, this, &ScanToolWindow::ShowHelpError);
    auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpKey, &QShortcut::activated, this, &ScanToolWindow::ShowHelp);

    // The window's own menu (right mouse button, Shift+F10 or the Menu key) carries the
    // About entry: the title bar's system menu belongs to the window manager.
    about_ = new QAction(QStringLiteral("Inf&o über LINKSPY..."), this);
    connect(about_, &QAction::triggered, this, &ScanToolWindow::ShowAbout);
    chooseFolder_ = new QAction(QStringLiteral("Working &folder..."), this);
    connect(chooseFolder_, &QAction::triggered, this, &ScanToolWindow::ChooseFolder,
            Qt::QueuedConnection);
    menu_ = new QMenu(this);
    menu_->addAction(chooseFolder_);
    menu_->addMenu(recent_);
    menu_->addSeparator();
    menu_->addAction(about_);
    for (const QKeySequence& key :
         {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
        connect(new QShortcut(key, this), &QShortcut::activated, this,
                &ScanToolWindow::ShowMenuAtFocus);
    }

    Relayout();
    ButtonsChanged();
    StatusChanged();
}

ScanToolWindow::~ScanToolWindow() = default;

void ScanToolWindow::Start(const QString& folder) {
    if (folder.isEmpty() || !tool_.ChangeDirectory(ToPath(folder))) tool_.Start();
}

void ScanToolWindow::FitToScreen() {
    const QScreen* screen = this->screen();
    if (!screen) return;
    const DialogUnits du(font());
    // The buttons, the status row and a few member lines in any case.
    const QSize least(du.x(343), du.y(40 + 3 + 40 + 14));
    fittedTo_ = FrameMargins(this);
    const auto place = FitWindow(du.size(343, 319), least, fittedTo_, screen->availableGeometry());
    room_ = place.size;
    Relayout();
    move(place.frameTopLeft);
}

void ScanToolWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    RefitToFrame();
}

void ScanToolWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    QTimer::singleShot(0, this, &ScanToolWindow::RefitToFrame);
}

void ScanToolWindow::RefitToFrame() {
    // The window manager has framed the window: fit again when its frame is not the one
    // reckoned with.
    if (room_.isValid() && isVisible() && FrameMargins(this) != fittedTo_) FitToScreen();
}

void ScanToolWindow::Relayout() {
    const DialogUnits du(font());
    QSize size = du.size(343, 319);
    if (room_.isValid()) size = size.boundedTo(room_);
    setFixedSize(size);
    Place(frame_, du, 2, 0, 339, 40);
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        Place(buttons_[i], du, kButtonPlaces[i][0], 4, kButtonPlaces[i][1], 35);
        buttons_[i]->raise();
    }
    Place(folder_, du, 199, 4, 46, 35);
    folder_->setIconSize(QSize(du.y(14), du.y(14)));
    folder_->raise();
    // The member list takes the height between the buttons and the status row.
    list_->setGeometry(du.x(2), du.y(43), du.x(339), size.height() - du.y(43 + 14));
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
    const int top = height() - du.y(12);
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

void ScanToolWindow::contextMenuEvent(QContextMenuEvent* event) {
    menu_->popup(event->globalPos());
}

void ScanToolWindow::ShowMenuAtFocus() {
    // At the keyboard's place: the current member line, the focused button, else the
    // middle of the window.
    QPoint at = rect().center();
    if (QWidget* focus = focusWidget(); focus && focus->isVisible()) {
        at = focus->mapTo(this, focus->rect().center());
        if (focus == list_ && list_->currentItem()) {
            at = list_->viewport()->mapTo(this,
                                          list_->visualItemRect(list_->currentItem()).center());
        }
    }
    menu_->popup(mapToGlobal(at));
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
    FitCaption(box);
    box.exec();
}

bool ScanToolWindow::AskYesNo(std::string_view text, std::string_view caption) {
    QMessageBox box(QMessageBox::Question, FromAnsi(caption), FromAnsi(text),
                    QMessageBox::Yes | QMessageBox::No, DialogParent());
    box.setDefaultButton(QMessageBox::Yes);
    FitCaption(box);
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
    auto view = std::make_unique<QtProgressView>(window, this);
    progress_ = view->dialog();
    return view;
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
    // Switching the folder is refused when changing the port is: while a scan or test runs.
    folder_->setEnabled(tool_.enabled(Button::Com));
    chooseFolder_->setEnabled(tool_.enabled(Button::Com));
    recent_->setEnabled(tool_.enabled(Button::Com));
}

void ScanToolWindow::ShowTitle() {
    // The caption, then the working folder, the home folder as "~".
    QString folder = QDir::toNativeSeparators(FromPath(tool_.currentDirectory()));
    const QString home = QDir::toNativeSeparators(QDir::homePath());
    if (folder == home || folder.startsWith(home + QDir::separator())) {
        folder = QLatin1Char('~') + folder.mid(home.size());
    }
    setWindowTitle(QStringLiteral("KVX-RS485-LINK-SPY - ") + folder);
}

void ScanToolWindow::StatusChanged() {
    ShowTitle();
    cycle_->setText(FromAnsi(tool_.cycleField()));
    elapsed_->setText(FromAnsi(tool_.elapsedField()));
    LayoutStatusRow();
}

// ---- working folder ---------------------------------------------------------------------

void ScanToolWindow::ChooseFolder() {
    if (!tool_.enabled(Button::Com)) return;
    QFileDialog dialog(DialogParent(), QStringLiteral("KVX - Working Folder -"),
                       FromPath(tool_.currentDirectory()));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    SwitchFolder(dialog.selectedFiles().constFirst());
}

void ScanToolWindow::SwitchFolder(const QString& folder) {
    tool_.ChangeDirectory(ToPath(folder));
}

void ScanToolWindow::FillRecentMenu() {
    recent_->clear();
    const auto& folders = tool_.recentFolders().folders();
    for (const auto& f : folders) {
        const QString path = FromPath(f);
        QString text = QDir::toNativeSeparators(path);
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        connect(
            recent_->addAction(text), &QAction::triggered, this,
            [this, path] { SwitchFolder(path); }, Qt::QueuedConnection);
    }
    if (folders.empty()) recent_->addAction(QStringLiteral("(none yet)"))->setEnabled(false);
}

// ---- requests to end the program --------------------------------------------------------

void ScanToolWindow::ListenForStopRequests() {
    stops_.emplace();
    // The requests are counted by a signal handler; the window looks at the count from its
    // event loop, and a running sequence at every step of its progress window.
    auto* look = new QTimer(this);
    connect(look, &QTimer::timeout, this, &ScanToolWindow::LookForStopRequests);
    look->start(100);
}

int ScanToolWindow::TakeStopRequests() {
    const int n = heldStops_ + (stops_ ? stops_->Take() : 0);
    heldStops_ = 0;
    return n;
}

void ScanToolWindow::StopRequestsSettled() {
    heldStops_ = 0;
    if (stops_) stops_->Settle();
}

void ScanToolWindow::LookForStopRequests() {
    const int n = stops_ ? stops_->Take() : 0;
    if (n == 0) return;
    if (!tool_.busy()) {
        CloseOnRequest();
        return;
    }
    // The running sequence takes the request as Cancel at its next step; a dialog or box it
    // has open is cancelled first.
    heldStops_ += n;
    if (!progress_) {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            dialog->reject();
        }
    }
}

void ScanToolWindow::CloseOnRequest() {
    // An open dialog is cancelled (nothing is written then) and its handler returns before
    // the window closes.
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        dialog->reject();
        QTimer::singleShot(0, this, &ScanToolWindow::CloseOnRequest);
        return;
    }
    close();
}

// ---- help and About -------------------------------------------------------------------

void ScanToolWindow::ShowHelp() {
    QString error;
    if (!help_->Open(error)) ShowHelpError(error);
}

void ScanToolWindow::ShowHelpError(const QString& error) {
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("ZAN LINKSPY HELP-ERROR"),
                                error, QMessageBox::Ok, DialogParent());
    FitCaption(*box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (!tool_.busy()) {
        box->exec();
        return;
    }
    // As About: a running scan or test is not held by the box.
    box->setModal(false);
    box->show();
}

void ScanToolWindow::ShowAbout() {
    if (!tool_.busy()) {
        AboutDialog about(DialogParent());
        about.exec();
        return;
    }
    // A scan or test runs below this call and goes on only when it returns: the box opens
    // beside the running work instead of holding it until OK.
    auto* about = new AboutDialog(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->setModal(false);
    about->show();
}

}  // namespace kvx::scantool::gui
