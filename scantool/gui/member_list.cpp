#include "member_list.h"

#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>

#include "dialog_units.h"

namespace kvx::scantool::gui {

namespace {
// Address, member name, cfg file name, counts, percentage; the figures start here.
constexpr int kFields = 5;
constexpr int kFirstFigure = 3;

// Width of a row: the list's visible width, whatever width the view gives the item.
int RowWidth(const QStyleOptionViewItem& option) {
    if (const auto* view = qobject_cast<const QAbstractItemView*>(option.widget)) {
        return view->viewport()->width() - option.rect.left();
    }
    return option.rect.width();
}
}  // namespace

QList<qreal> MemberLineDelegate::TabStops(const QFont& font) {
    const DialogUnits du(font);
    QList<qreal> stops;
    for (int stop : kMemberTabStops) stops.append(du.x(stop));
    return stops;
}

int MemberLineDelegate::Margin(const QFont& font) {
    return DialogUnits(font).x(1);
}

std::vector<MemberColumn> MemberLineDelegate::Columns(const QString& line, const QFont& font,
                                                      int width) {
    const DialogUnits du(font);
    const QFontMetrics fm(font);
    QStringList fields = line.split(QLatin1Char('\t'));
    // Tabs past the last stop stay in the last field.
    while (fields.size() > kFields)
        fields[kFields - 1] += QLatin1Char(' ') + fields.takeAt(kFields);
    const int count = static_cast<int>(fields.size());
    const int margin = Margin(font);
    const int gap = du.x(4);
    const int right = std::max(margin, width - margin);

    std::vector<MemberColumn> columns(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto& c = columns[static_cast<std::size_t>(i)];
        c.text = fields[i];
        c.left = i == 0 ? 0 : du.x(kMemberTabStops[static_cast<std::size_t>(i - 1)]);
    }
    // The figures keep their whole width: from the right, each starts no later than where it
    // still fits before the next one.
    int next = right;
    for (int i = count - 1; i >= kFirstFigure; --i) {
        auto& c = columns[static_cast<std::size_t>(i)];
        const int need = fm.horizontalAdvance(c.text);
        c.left = std::min(c.left, next - need);
        next = c.left - gap;
    }
    for (int i = 0; i < count; ++i) {
        auto& c = columns[static_cast<std::size_t>(i)];
        const bool last = i == count - 1;
        const int end = last ? right : columns[static_cast<std::size_t>(i + 1)].left - gap;
        c.width = std::max(0, end - c.left);
        const bool figure = i >= kFirstFigure;
        c.shown = figure ? c.text : fm.elidedText(c.text, Qt::ElideRight, c.width);
        if (figure) c.width = std::max(c.width, fm.horizontalAdvance(c.text));
    }
    return columns;
}

void MemberLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const QString line = index.data(Qt::DisplayRole).toString();
    const int margin = Margin(option.font);
    painter->save();
    painter->setClipRect(option.rect);
    painter->setFont(option.font);
    painter->setPen(option.palette.color(
        option.state & QStyle::State_Enabled ? QPalette::Active : QPalette::Disabled,
        QPalette::Text));
    for (const auto& c : Columns(line, option.font, RowWidth(option))) {
        const QRect place(option.rect.left() + margin + c.left, option.rect.top(), c.width,
                          option.rect.height());
        painter->drawText(place, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, c.shown);
    }
    // The keyboard's line, framed in the highlight colour while the list has the focus: the
    // list selects nothing, so the frame is the only mark of where the arrow keys are.
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(option.palette.color(QPalette::Highlight), 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
    }
    painter->restore();
}

QSize MemberLineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    // One font height per line, as the list box of the original window: all addresses fit.
    return {option.rect.width(), QFontMetrics(option.font).height()};
}

bool MemberLineDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip || !index.isValid()) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString line = index.data(Qt::DisplayRole).toString();
    const auto columns = Columns(line, option.font, RowWidth(option));
    if (std::none_of(columns.begin(), columns.end(), [](const auto& c) { return c.elided(); })) {
        QToolTip::hideText();
        return true;
    }
    QStringList whole;
    for (const auto& c : columns) whole << c.text;
    QToolTip::showText(event->globalPos(), whole.join(QStringLiteral("   ")), view,
                       view->visualRect(index));
    return true;
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

std::vector<MemberColumn> MemberList::columns(int row) const {
    if (row < 0 || row >= count()) return {};
    return MemberLineDelegate::Columns(item(row)->text(), font(), viewport()->width());
}

}  // namespace kvx::scantool::gui
