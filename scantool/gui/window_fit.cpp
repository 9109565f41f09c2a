#include "window_fit.h"

#include <QStyle>
#include <QWidget>
#include <algorithm>

namespace kvx::scantool::gui {

WindowPlace FitWindow(QSize wanted, QSize least, QMargins margins, QRect available) {
    const QSize room = available.marginsRemoved(margins).size();
    const QSize size = wanted.boundedTo(room).expandedTo(least);
    const QSize outer = size.grownBy(margins);
    const int x = available.left() + std::max(0, (available.width() - outer.width()) / 2);
    const int y = available.top() + std::max(0, (available.height() - outer.height()) / 2);
    return {size, {x, y}};
}

QMargins FrameMargins(const QWidget* window) {
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    if (window->isVisible() && frame != client) {
        return {client.left() - frame.left(), client.top() - frame.top(),
                frame.right() - client.right(), frame.bottom() - client.bottom()};
    }
    const QStyle* style = window->style();
    const int side = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, window);
    const int title = std::max(style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window),
                               2 * window->fontMetrics().height());
    return {side, title + side, side, side};
}

}  // namespace kvx::scantool::gui
