#pragma once
// The member list of the main window: one line per bus address, kept with its tab
// characters; the tabs put member name, cfg file name, answer counts and percentage into
// columns at four tab stops given in dialog units.

#include <QList>
#include <QListWidget>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <array>
#include <memory>

namespace kvx::scantool::gui {

inline constexpr std::array<int, 4> kMemberTabStops = {55, 140, 220, 270};

class MemberLineDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Tab stops in pixels from the start of the text, for `font`.
    static QList<qreal> TabStops(const QFont& font);
    // Left margin of a line's text in pixels.
    static int Margin(const QFont& font);
    // The laid-out line as it is painted (one line, tabs at the tab stops).
    static std::unique_ptr<QTextLayout> Layout(const QString& line, const QFont& font);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class MemberList : public QListWidget {
    Q_OBJECT
  public:
    explicit MemberList(QWidget* parent = nullptr);
    QStringList lines() const;
};

}  // namespace kvx::scantool::gui
