// The main window on a small screen at the scale factor the run is given (QT_SCALE_FACTOR):
// the whole window, title bar and status row included, lies in the screen's free area, and
// every member line can still be reached.

#include <QLabel>
#include <QScreen>
#include <QTest>

#include "dialog_units.h"
#include "gui_fixture.h"
#include "member_list.h"
#include "picture_button.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

class FitTest : public QObject {
    Q_OBJECT

  private slots:
    void windowFitsTheScreen() {
        SampleBus bus;
        ScanToolWindow w(bus.Environment());
        w.Start();
        w.FitToScreen();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        const QRect free = w.screen()->availableGeometry();
        const DialogUnits du(w.font());
        const QSize layout = du.size(343, 319);
        const QString seen = QStringLiteral("window %1,%2 %3x%4 (client %5x%6) on %7x%8")
                                 .arg(w.frameGeometry().x())
                                 .arg(w.frameGeometry().y())
                                 .arg(w.frameGeometry().width())
                                 .arg(w.frameGeometry().height())
                                 .arg(w.width())
                                 .arg(w.height())
                                 .arg(free.width())
                                 .arg(free.height());
        QTRY_VERIFY2(free.contains(w.frameGeometry()), qPrintable(seen));
        QVERIFY(w.frameGeometry().top() < w.geometry().top());  // a frame was reckoned with
        // The layout's own size where it fits; otherwise the height the screen leaves.
        const QMargins frame(w.geometry().left() - w.frameGeometry().left(),
                             w.geometry().top() - w.frameGeometry().top(),
                             w.frameGeometry().right() - w.geometry().right(),
                             w.frameGeometry().bottom() - w.geometry().bottom());
        const int room = free.height() - frame.top() - frame.bottom();
        QCOMPARE(w.height(), std::min(layout.height(), room));

        // Buttons, list and the status row inside the window, one below the other.
        for (auto b : {Button::Scan, Button::Help}) {
            QVERIFY(w.rect().contains(w.button(b)->geometry()));
        }
        MemberList* list = w.memberList();
        QVERIFY(list->geometry().top() >= w.button(Button::Scan)->geometry().bottom());
        for (QLabel* field : {w.portLabel(), w.cycleField(), w.elapsedField()}) {
            QVERIFY(w.rect().contains(field->geometry()));
            QVERIFY(field->geometry().top() > list->geometry().bottom());
        }

        // After a scan every line can be scrolled into sight.
        QTest::mouseClick(w.button(Button::Scan), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(list->count() == 32 && !w.tool().busy(), 60000);
        QVERIFY(list->viewport()->height() >= 5 * QFontMetrics(list->font()).height());
        list->scrollToItem(list->item(31));
        const QRect last = list->visualItemRect(list->item(31));
        QVERIFY(last.top() >= 0 && last.bottom() <= list->viewport()->rect().bottom());
    }
};

QTEST_MAIN(FitTest)
#include "fit_test.moc"
