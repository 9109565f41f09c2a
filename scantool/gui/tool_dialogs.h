#pragma once
// The modal dialogs of the tool over the core's dialog objects: the cycles dialog, the save
// protocol dialog, the generate dialog, the port selection and the About box. The dialog
// objects decide every value; the widgets show them and pass the user's actions on.

#include <QComboBox>
#include <QDialog>

#include "kvx/scantool/dialogs.h"

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;

namespace kvx::scantool {
class FrontEnd;
}

namespace kvx::scantool::gui {

// A combo box that reports when its drop-down part folds up.
class FoldingComboBox : public QComboBox {
    Q_OBJECT
  public:
    using QComboBox::QComboBox;
    void hidePopup() override;
  signals:
    void folded();
};

class CyclesDialog : public QDialog {
    Q_OBJECT
  public:
    CyclesDialog(CCyclesDlg& dialog, QWidget* parent);

    QSlider* trackbar() const { return trackbar_; }
    QLineEdit* numberField() const { return number_; }
    QLabel* estimate() const { return estimate_; }
    QLabel* maxLabel() const { return max_; }

  private:
    void ShowValues();

    CCyclesDlg& dialog_;
    QSlider* trackbar_;
    QLineEdit* number_;
    QLabel* estimate_;
    QLabel* min_;
    QLabel* max_;
};

class SaveProtocolDialog : public QDialog {
    Q_OBJECT
  public:
    SaveProtocolDialog(CSaveProtocolDlg& dialog, QWidget* parent);

    QPlainTextEdit* comment() const { return comment_; }
    QLineEdit* fileName() const { return fileName_; }
    QPushButton* changeButton() const { return change_; }
    FoldingComboBox* fileType() const { return type_; }
    QLabel* directory() const { return directory_; }

  public slots:
    void accept() override;

  private:
    void CommentChanged();
    void TypeFolded();
    void ShowFileName();

    CSaveProtocolDlg& dialog_;
    QLabel* directory_;
    QPlainTextEdit* comment_;
    QLineEdit* fileName_;
    QPushButton* change_;
    FoldingComboBox* type_;
};

class GenerateIniDialog : public QDialog {
    Q_OBJECT
  public:
    GenerateIniDialog(CGenerateIniDlg& dialog, QWidget* parent);

    QRadioButton* currentDirectory() const { return current_; }
    QRadioButton* windowsDirectory() const { return windows_; }
    QRadioButton* samePort() const { return same_; }
    QRadioButton* changePort() const { return change_; }
    QComboBox* ports() const { return ports_; }

  public slots:
    void accept() override;

  private:
    CGenerateIniDlg& dialog_;
    QRadioButton* current_;
    QRadioButton* windows_;
    QRadioButton* same_;
    QRadioButton* change_;
    QComboBox* ports_;
};

class PortDialog : public QDialog {
    Q_OBJECT
  public:
    PortDialog(CSelectComPortDlg& dialog, FrontEnd& frontEnd, QWidget* parent);

    QComboBox* ports() const { return ports_; }
    QPushButton* testButton() const { return test_; }

  public slots:
    void accept() override;

  private:
    CSelectComPortDlg& dialog_;
    FrontEnd& frontEnd_;
    QComboBox* ports_;
    QPushButton* test_;
};

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent);
};

}  // namespace kvx::scantool::gui
