#pragma once
// Message boxes of the tool. A box is at least as wide as its caption needs in a window
// manager's title bar (bold text, the window icon and three title buttons), so that a short
// message does not leave its caption cut.

#include <QMessageBox>

namespace kvx::scantool::gui {

// Width that the caption of `box` needs in a title bar.
int CaptionWidth(const QWidget& box);

// Widens `box` to CaptionWidth when its text leaves it narrower.
void FitCaption(QMessageBox& box);

}  // namespace kvx::scantool::gui
