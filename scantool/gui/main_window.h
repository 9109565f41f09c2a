#pragma once
// The main window of linkspy: six picture buttons, the member list, the port label, the
// cycle field and the elapsed-time field over the tool's core, which owns every value. The
// window is the core's front end: message boxes, the modal dialogs and the progress windows.

#include <QMargins>
#include <QPointer>
#include <QWidget>
#include <array>
#include <optional>

#include "kvx/platform/console.h"
#include "kvx/scantool/scan_tool.h"

class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QToolButton;

namespace kvx::scantool::gui {

class HelpViewer;
class MemberList;
class PictureButton;
class ProgressDialog;

class ScanToolWindow : public QWidget, public FrontEnd {
    Q_OBJECT
  public:
    explicit ScanToolWindow(ToolEnvironment environment, QWidget* parent = nullptr);
    ~ScanToolWindow() override;

    // Start of the program in `folder` (-C; empty: the current directory): reads LINKSPY.INI
    // there (a missing file is reported). A folder that cannot be entered is reported in a
    // box and the tool starts in the current directory.
    void Start(const QString& folder = {});
    // Sizes the window to the free area of its screen (no larger than its layout) and
    // centres it there.
    void FitToScreen();
    // From now on Ctrl-C and SIGTERM are the Cancel of a running scan or test (and of the
    // dialog a sequence has open); otherwise they close the window as its close button
    // does. A second request before the first was acted on ends the program at once.
    void ListenForStopRequests();

    CScanToolDlg& tool() { return tool_; }
    PictureButton* button(Button b) const { return buttons_[static_cast<std::size_t>(b)]; }
    MemberList* memberList() const { return list_; }
    QLabel* portLabel() const { return port_; }
    QLabel* cycleField() const { return cycle_; }
    QLabel* elapsedField() const { return elapsed_; }
    QAction* aboutAction() const { return about_; }
    QMenu* menu() const { return menu_; }  // the window's own menu
    QToolButton* folderButton() const { return folder_; }
    QMenu* recentMenu() const { return recent_; }
    HelpViewer* helpViewer() const { return help_; }

    // FrontEnd
    void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
    bool AskYesNo(std::string_view text, std::string_view caption) override;
    bool RunCyclesDialog(CCyclesDlg& dialog) override;
    bool RunSaveProtocolDialog(CSaveProtocolDlg& dialog) override;
    bool RunGenerateIniDialog(CGenerateIniDlg& dialog) override;
    bool RunPortDialog(CSelectComPortDlg& dialog) override;
    std::unique_ptr<ProgressView> CreateProgressView(ProgressWindow& window) override;
    void MemberListReset() override;
    void MemberLineAdded(int index) override;
    void MemberLineReplaced(int index) override;
    void ButtonsChanged() override;
    void StatusChanged() override;
    int TakeStopRequests() override;
    void StopRequestsSettled() override;

  public slots:
    void ShowHelp();
    void ShowAbout();
    // The folder chooser; the choice switches the working directory as -C does.
    void ChooseFolder();
    void SwitchFolder(const QString& folder);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void Relayout();
    void RefitToFrame();
    void ShowHelpError(const QString& error);
    void LayoutStatusRow();
    QWidget* DialogParent();
    void LookForStopRequests();
    void ShowMenuAtFocus();
    void FillRecentMenu();
    void ShowTitle();
    void CloseOnRequest();

    CScanToolDlg tool_;
    std::array<PictureButton*, 6> buttons_{};
    QGroupBox* frame_;
    MemberList* list_;
    QLabel* port_;
    QLabel* cycle_;
    QLabel* elapsed_;
    QAction* about_;
    QAction* chooseFolder_;
    QMenu* menu_;
    QMenu* recent_;
    QToolButton* folder_;
    HelpViewer* help_;
    QSize room_;         // largest client area the screen leaves; invalid: no limit
    QMargins fittedTo_;  // the frame the last fit reckoned with
    std::optional<platform::InterruptCounter> stops_;
    int heldStops_ = 0;                  // requests for the running sequence's next look
    QPointer<ProgressDialog> progress_;  // the open progress window
};

}  // namespace kvx::scantool::gui
