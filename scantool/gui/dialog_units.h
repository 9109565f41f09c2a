#pragma once
// Dialog units: the layout measure of the tool's windows. One horizontal unit is a quarter of
// the font's average character width, one vertical unit an eighth of its height, so every
// window grows with the desktop's font and its scale factor.

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace kvx::scantool::gui {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const { return {x(width), y(height)}; }
    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }

  private:
    int baseX_;
    int baseY_;
};

// Places `widget` at the given dialog-unit rectangle of its parent.
void Place(QWidget* widget, const DialogUnits& du, int x, int y, int width, int height);

}  // namespace kvx::scantool::gui
