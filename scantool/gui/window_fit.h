#pragma once
// Fitting a top-level window to the free area of its screen (without panels and docks), so
// that its title bar and its bottom edge stay in sight at any scale factor.

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace kvx::scantool::gui {

struct WindowPlace {
    QSize size;           // of the client area
    QPoint frameTopLeft;  // where the window's frame goes
};

// A client area as large as `wanted` but no larger than what `available` leaves inside the
// frame `margins`, and no smaller than `least`, centred in `available`; a window that is
// larger than the screen still starts at its top left, so its title bar stays on screen.
WindowPlace FitWindow(QSize wanted, QSize least, QMargins margins, QRect available);

// The frame the window system puts around `window`: the real one once the window is shown
// and framed, until then an estimate from the style's title bar.
QMargins FrameMargins(const QWidget* window);

}  // namespace kvx::scantool::gui
