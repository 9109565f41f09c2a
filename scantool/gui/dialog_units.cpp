#include "dialog_units.h"

#include <QFontMetrics>
#include <QWidget>
#include <algorithm>

namespace kvx::scantool::gui {

namespace {
// Rounded a * b / c, as the window system converts dialog units.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    return static_cast<int>((product + (product >= 0 ? c / 2 : -c / 2)) / c);
}
}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    // The average width is taken over the Latin letters, rounded.
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (letters / 26 + 1) / 2);
    baseY_ = std::max(1, fm.height());
}

int DialogUnits::x(int units) const {
    return MulDiv(units, baseX_, 4);
}

int DialogUnits::y(int units) const {
    return MulDiv(units, baseY_, 8);
}

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    return {x(left), y(top), x(width), y(height)};
}

void Place(QWidget* widget, const DialogUnits& du, int x, int y, int width, int height) {
    widget->setGeometry(du.rect(x, y, width, height));
}

}  // namespace kvx::scantool::gui
