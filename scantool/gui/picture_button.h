#pragma once
// A picture button of the main window: one picture per state (up, down, focus, disabled),
// drawn from the program's SVG resources, with its caption and mnemonic on the picture.

#include <QAbstractButton>
#include <QString>
#include <array>
#include <memory>

class QSvgRenderer;

namespace kvx::scantool::gui {

class PictureButton : public QAbstractButton {
    Q_OBJECT
  public:
    enum class State { Up = 0, Down, Focus, Disabled };

    // `picture` names the resources ":/pictures/<picture>Up.svg" and so on; without a
    // disabled picture the up picture stands for it. Throws std::runtime_error when a picture
    // cannot be loaded.
    PictureButton(const QString& picture, const QString& caption, bool hasDisabled,
                  QWidget* parent = nullptr);
    ~PictureButton() override;

    State state() const;
    // Where the square picture stands in a button wider than tall (centred by default).
    void setPictureAlignment(Qt::Alignment alignment) { alignment_ = alignment; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    // Return and Enter press the button as Space does.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    std::array<std::unique_ptr<QSvgRenderer>, 4> pictures_;
    Qt::Alignment alignment_ = Qt::AlignHCenter;
};

}  // namespace kvx::scantool::gui
