#include "message_box.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QSpacerItem>
#include <QStyle>

namespace kvx::scantool::gui {

int CaptionWidth(const QWidget& box) {
    QFont bold = box.font();
    bold.setBold(true);
    const QFontMetrics fm(bold);
    const int button =
        std::max(box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box), fm.height());
    // Icon and three title buttons, and a margin either side.
    return fm.horizontalAdvance(box.windowTitle()) + 4 * button + 2 * fm.height();
}

void FitCaption(QMessageBox& box) {
    // The box takes its width from its layout: a spacer across every column sets the least.
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    const int margins = grid->contentsMargins().left() + grid->contentsMargins().right();
    grid->addItem(
        new QSpacerItem(CaptionWidth(box) - margins, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
        grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace kvx::scantool::gui
