#pragma once
// The member list of the main window: one line per bus address, kept with its tab
// characters. The tabs split a line into the address, member name, cfg file name, answer
// counts and percentage, drawn in columns that start at four tab stops given in dialog units.
// The figures are always shown whole: where a name is longer than its column it is cut with
// an ellipsis (the whole line shows as a tooltip), and figures that do not fit at their tab
// stop move left.

#include <QList>
#include <QListWidget>
#include <QRect>
#include <QStyledItemDelegate>
#include <array>
#include <vector>

namespace kvx::scantool::gui {

inline constexpr std::array<int, 4> kMemberTabStops = {55, 140, 220, 270};

// One field of a member line as it is drawn: its text, the text shown, and its place from
// the left of the line.
struct MemberColumn {
    QString text;
    QString shown;
    int left = 0;
    int width = 0;
    bool elided() const { return shown != text; }
};

class MemberLineDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Tab stops in pixels from the start of the text, for `font`.
    static QList<qreal> TabStops(const QFont& font);
    // Left margin of a line's text in pixels.
    static int Margin(const QFont& font);
    // The fields of `line` in a row `width` pixels wide.
    static std::vector<MemberColumn> Columns(const QString& line, const QFont& font, int width);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

class MemberList : public QListWidget {
    Q_OBJECT
  public:
    explicit MemberList(QWidget* parent = nullptr);
    QStringList lines() const;
    // The fields of line `row` as they are drawn now.
    std::vector<MemberColumn> columns(int row) const;
};

}  // namespace kvx::scantool::gui
