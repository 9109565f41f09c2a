// The main window from the keyboard alone, over the simulated sample bus: Space and Return
// press a picture button, the focus comes back to the button that started a run, Shift+F10
// and the Menu key open the window's menu where the keyboard is, and the list's current line
// is framed while the list has the focus.

#include <QMenu>
#include <QSlider>
#include <QTest>

#include "gui_fixture.h"
#include "member_list.h"
#include "picture_button.h"
#include "tool_dialogs.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

// Whether the left edge of line `row` is drawn in the highlight colour: the focus frame.
bool Framed(MemberList* list, int row) {
    const QImage image = list->viewport()->grab().toImage();
    const QRect line = list->visualItemRect(list->item(row));
    const QColor highlight = list->palette().color(QPalette::Active, QPalette::Highlight);
    return image.pixelColor(line.left(), line.center().y()) == highlight;
}

}  // namespace

class KeyboardTest : public QObject {
    Q_OBJECT

  private:
    BusAndWindow t_;

  private slots:
    void init() { t_.Begin(); }
    void cleanup() { t_.End(); }

    void spaceAndReturnPressAButtonThatGetsTheFocusBack() {
        auto& w = t_.Open();
        PictureButton* scan = w.button(Button::Scan);
        scan->setFocus(Qt::TabFocusReason);
        QTest::keyClick(scan, Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(w.memberList()->count(), 32, 60000);
        QTRY_VERIFY(!w.tool().busy());
        QTRY_COMPARE(QApplication::focusWidget(), scan);

        PictureButton* test = w.button(Button::Test);
        test->setFocus(Qt::TabFocusReason);
        OnModal<CyclesDialog>([](CyclesDialog* d) { d->accept(); });
        QTest::keyClick(test, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(w.tool().completedCycles(), 10, 60000);
        QTRY_VERIFY(!w.tool().busy());
        QTRY_COMPARE(QApplication::focusWidget(), test);
    }

    void menuKeysOpenTheMenuAndTheListShowsItsFocus() {
        auto& w = t_.Open();
        Click(w, Button::Scan);
        QTRY_VERIFY(w.isActiveWindow());  // back from the progress window
        MemberList* list = w.memberList();
        QVERIFY(!Framed(list, 0));
        list->setFocus(Qt::TabFocusReason);
        QCOMPARE(list->currentRow(), 0);
        QVERIFY(Framed(list, 0));
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->currentRow(), 1);
        QVERIFY(Framed(list, 1) && !Framed(list, 0));

        // The Menu key opens the window's menu at the current line.
        QTest::keyClick(list, Qt::Key_Menu);
        QTRY_VERIFY(w.menu()->isVisible());
        QVERIFY(w.menu()->actions().contains(w.aboutAction()));
        const QRect line = list->visualItemRect(list->item(1));
        const QRect lineOnScreen(list->viewport()->mapToGlobal(line.topLeft()), line.size());
        QVERIFY(lineOnScreen.contains(w.menu()->pos()));
        w.menu()->hide();

        // Shift+F10 at a button.
        PictureButton* com = w.button(Button::Com);
        com->setFocus(Qt::TabFocusReason);
        QTest::keyClick(com, Qt::Key_F10, Qt::ShiftModifier);
        QTRY_VERIFY(w.menu()->isVisible());
        QVERIFY(QRect(com->mapToGlobal(QPoint(0, 0)), com->size()).contains(w.menu()->pos()));
        w.menu()->hide();
        QVERIFY(!Framed(list, 1));
    }
};

QTEST_MAIN(KeyboardTest)
#include "keyboard_test.moc"
