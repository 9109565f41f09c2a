#pragma once
// The main window of linkspy: six picture buttons, the member list, the port label, the
// cycle field and the elapsed-time field over the tool's core, which owns every value. The
// window is the core's front end: message boxes, the modal dialogs and the progress windows.

#include <QWidget>
#include <array>

#include "kvx/scantool/scan_tool.h"

class QFrame;
class QGroupBox;
class QLabel;

namespace kvx::scantool::gui {

class MemberList;
class PictureButton;

class ScanToolWindow : public QWidget, public FrontEnd {
    Q_OBJECT
  public:
    explicit ScanToolWindow(ToolEnvironment environment, QWidget* parent = nullptr);
    ~ScanToolWindow() override;

    // Start of the program: reads LINKSPY.INI (a missing file is reported).
    void Start();

    CScanToolDlg& tool() { return tool_; }
    PictureButton* button(Button b) const { return buttons_[static_cast<std::size_t>(b)]; }
    MemberList* memberList() const { return list_; }
    QLabel* portLabel() const { return port_; }
    QLabel* cycleField() const { return cycle_; }
    QLabel* elapsedField() const { return elapsed_; }
    QAction* aboutAction() const { return about_; }

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

  public slots:
    void ShowHelp();
    void ShowAbout();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void Relayout();
    void LayoutStatusRow();
    QWidget* DialogParent();

    CScanToolDlg tool_;
    std::array<PictureButton*, 6> buttons_{};
    QGroupBox* frame_;
    MemberList* list_;
    QLabel* port_;
    QLabel* cycle_;
    QLabel* elapsed_;
    QAction* about_;
};

}  // namespace kvx::scantool::gui
