// The working folder in the window, over the simulated sample bus: the chooser and the recent
// folders switch it as -C does (the process's directory, LINKSPY.INI and the .cfg files of
// the new folder, the results of the old one gone), the title names it, and a folder that
// cannot be entered is reported in the window.

#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QToolButton>

#include "gui_fixture.h"
#include "member_list.h"

using namespace kvx::scantool;
using namespace kvx::scantool::gui;
using namespace kvx::scantool::gui::testing;

namespace {

QString Native(const std::filesystem::path& path) {
    return QDir::toNativeSeparators(QString::fromStdString(path.string()));
}

// Triggers the entry for `folder` in the recent-folders menu; false when it has none.
bool ChooseRecent(ScanToolWindow& w, const std::filesystem::path& folder) {
    QMenu* recent = w.recentMenu();
    recent->popup(w.mapToGlobal(QPoint(0, 0)));
    QAction* entry = nullptr;
    for (QAction* a : recent->actions()) {
        if (a->text() == Native(folder)) entry = a;
    }
    recent->hide();
    if (!entry) return false;
    entry->trigger();
    return true;
}

}  // namespace

class FolderTest : public QObject {
    Q_OBJECT

  private:
    BusAndWindow t_;
    SampleBus* bus_ = nullptr;
    std::filesystem::path recentFile_;

    ScanToolWindow& Window(const QString& startFolder = {}) {
        ToolEnvironment env = bus_->Environment();
        env.recentFoldersFile = recentFile_;
        return t_.Open(env, startFolder);
    }

  private slots:
    void init() {
        t_.Begin();
        bus_ = t_.bus.get();
        recentFile_ = bus_->dir() / "config" / "recent-folders";
    }
    void cleanup() { t_.End(); }

    void chooserAndRecentFoldersSwitchAsMinusCDoes() {
        // Line 2 knows one device type and has its own LINKSPY.INI with a longer delay.
        const auto line2 = bus_->dir() / "line2";
        std::filesystem::create_directories(line2);
        std::filesystem::copy_file(bus_->dir() / "tc200.cfg", line2 / "tc200.cfg");
        WriteFile(line2 / "LINKSPY.INI",
                  "[RS232]\r\nCOM=" + bus_->port() + "\r\n[Timeout]\r\nTime=45\r\n");
        // The recent list of an earlier run, with a line that is no folder path.
        std::filesystem::create_directories(recentFile_.parent_path());
        WriteFile(recentFile_, "line2\n" + bus_->dir().string() + "\n");

        auto unusable = std::make_shared<BoxSeen>();
        AnswerBox(unusable);
        auto& w = Window();
        QCOMPARE(unusable->caption, QStringLiteral("ZAN LINKSPY FOLDER-ERROR"));
        QVERIFY2(unusable->text.contains(QStringLiteral("recent-folders line 1: ")),
                 qPrintable(unusable->text));
        QCOMPARE(w.windowTitle(), QStringLiteral("KVX-RS485-LINK-SPY - ") + Native(bus_->dir()));
        Click(w, Button::Scan);
        // The folder in use chosen again keeps the results.
        QVERIFY(ChooseRecent(w, bus_->dir()));
        QTRY_COMPARE(ReadFile(recentFile_), bus_->dir().string() + "\n");  // switched
        QCOMPARE(w.memberList()->count(), 32);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN TEST GENERATE COM HELP"));

        OnModal<QFileDialog>([&line2](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(line2.string()));
            static_cast<QDialog*>(d)->accept();  // as OK: the folder shown is chosen
        });
        QTest::mouseClick(w.folderButton(), Qt::LeftButton, {},
                          QPoint(5, w.folderButton()->height() / 2));
        QTRY_COMPARE(w.tool().currentDirectory(), line2);
        QCOMPARE(std::filesystem::current_path(), line2);
        QCOMPARE(w.windowTitle(), QStringLiteral("KVX-RS485-LINK-SPY - ") + Native(line2));
        QCOMPARE(w.tool().requestDelay(), 45);
        QCOMPARE(w.memberList()->count(), 0);
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN COM HELP"));
        Click(w, Button::Scan);
        QCOMPARE(w.memberList()->item(3)->text(), SampleBus::ScanLine(3));
        QCOMPARE(w.memberList()->item(7)->text(),
                 QStringLiteral("Adr. 07:\tNo .cfg file for this Member!"));
        QCOMPARE(w.tool().recentFolders().folders(),
                 (std::vector<std::filesystem::path>{line2, bus_->dir()}));

        // Back through the recent folders; the list is kept for the next run.
        QVERIFY(ChooseRecent(w, bus_->dir()));
        QTRY_COMPARE(w.tool().currentDirectory(), bus_->dir());
        QCOMPARE(w.tool().requestDelay(), SampleBus::kDelay);
        QCOMPARE(QString::fromStdString(ReadFile(recentFile_)),
                 QString::fromStdString(bus_->dir().string() + "\n" + line2.string() + "\n"));

        // A recent folder that went is reported, and the tool stays where it is.
        std::filesystem::remove_all(line2);
        auto gone = std::make_shared<BoxSeen>();
        AnswerBox(gone);
        QVERIFY(ChooseRecent(w, line2));
        QTRY_VERIFY(gone->shown);
        QVERIFY2(
            gone->text.startsWith(QStringLiteral("Can´t change to the folder ") +
                                  QString::fromStdString(line2.string()) + QStringLiteral("!\n")),
            qPrintable(gone->text));
        QCOMPARE(w.tool().currentDirectory(), bus_->dir());
        QCOMPARE(w.windowTitle(), QStringLiteral("KVX-RS485-LINK-SPY - ") + Native(bus_->dir()));
    }

    void badStartFolderIsReportedInTheWindow() {
        // -C with a file, not a folder: the box, then the start in the current directory.
        auto seen = std::make_shared<BoxSeen>();
        AnswerBox(seen);
        auto& w = Window(QString::fromStdString((bus_->dir() / "tc200.cfg").string()));
        QVERIFY(seen->shown);
        QCOMPARE(seen->caption, QStringLiteral("ZAN LINKSPY FOLDER-ERROR"));
        QVERIFY2(seen->text.startsWith(QStringLiteral("Can´t change to the folder ")) &&
                     seen->text.contains(QStringLiteral("tc200.cfg!\n")),
                 qPrintable(seen->text));
        QCOMPARE(w.portLabel()->toolTip(), QString::fromStdString(bus_->port()));
        QCOMPARE(EnabledButtons(w), QStringLiteral("SCAN COM HELP"));
        QVERIFY(w.tool().recentFolders().folders().empty());
        // The folder control is off while a scan runs, as COM is.
        bool offDuringScan = false;
        DuringProgress([&](ProgressDialog*) { offDuringScan = !w.folderButton()->isEnabled(); });
        Click(w, Button::Scan);
        QVERIFY(offDuringScan);
        QVERIFY(w.folderButton()->isEnabled());
    }
};

QTEST_MAIN(FolderTest)
#include "folder_test.moc"
