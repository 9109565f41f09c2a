#include "member_list.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextOption>

#include "dialog_units.h"

namespace kvx::scantool::gui {

QList<qreal> MemberLineDelegate::TabStops(const QFont& font) {
    const DialogUnits du(font);
    QList<qreal> stops;
    for (int stop : kMemberTabStops) stops.append(du.x(stop));
    return stops;
}

int MemberLineDelegate::Margin(const QFont& font) {
    return DialogUnits(font).x(1);
}

std::unique_ptr<QTextLayout> MemberLineDelegate::Layout(const QString& line, const QFont& font) {
    auto layout = std::make_unique<QTextLayout>(line, font);
    QTextOption option(Qt::AlignLeft | Qt::AlignVCenter);
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabArray(TabStops(font));
    layout->setTextOption(option);
    layout->beginLayout();
    QTextLine textLine = layout->createLine();
    if (textLine.isValid()) textLine.setLineWidth(1e6);
    layout->endLayout();
    return layout;
}

void MemberLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const QString line = index.data(Qt::DisplayRole).toString();
    auto layout = Layout(line, option.font);
    painter->save();
    painter->setClipRect(option.rect);
    painter->setPen(option.palette.color(
        option.state & QStyle::State_Enabled ? QPalette::Active : QPalette::Disabled,
        QPalette::Text));
    const QFontMetrics fm(option.font);
    const QPointF origin(option.rect.left() + Margin(option.font),
                         option.rect.top() + (option.rect.height() - fm.height()) / 2.0);
    layout->draw(painter, origin);
    painter->restore();
}

QSize MemberLineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    // One font height per line, as the list box of the original window: all addresses fit.
    return {option.rect.width(), QFontMetrics(option.font).height()};
}

MemberList::MemberList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new MemberLineDelegate(this));
    setSelectionMode(QAbstractItemView::NoSelection);
    setUniformItemSizes(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

QStringList MemberList::lines() const {
    QStringList all;
    for (int i = 0; i < count(); ++i) all.append(item(i)->text());
    return all;
}

}  // namespace kvx::scantool::gui
