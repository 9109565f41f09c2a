// linkspy: the service tool of the KVX field bus in a window. Works in the current directory
// (or the one given with -C or chosen in the window): the .cfg files, LINKSPY.INI and the
// protocol files are found and written there.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>
#include <cstdio>
#include <exception>

#include "main_window.h"
#include "text.h"

using namespace kvx::scantool;

int main(int argc, char** argv) {
    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("linkspy"));
    QApplication::setApplicationVersion(QStringLiteral(KVX_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/linkspy.svg")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("KVX RS485 link spy: bus scan, bus test, test protocol and driver INI "
                       "generation"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption directory(
        QStringLiteral("C"), QStringLiteral("Work in folder DIR, as the Folder button does."),
        QStringLiteral("DIR"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port for this run (not stored)."),
                                  QStringLiteral("NAME"));
    parser.addOption(directory);
    parser.addOption(port);
    parser.process(app);

    ToolEnvironment environment;
    // Boxes without a caption of their own show the program's file name without extension.
    environment.title =
        QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (!config.isEmpty()) environment.recentFoldersFile = gui::ToPath(config) / "recent-folders";
    try {
        gui::ScanToolWindow window(environment);
        // A folder that cannot be entered is reported in the window, which starts here then.
        window.Start(parser.value(directory));
        if (parser.isSet(port) && !window.tool().OverridePort(gui::ToSystem(parser.value(port)))) {
            return 2;
        }
        window.ListenForStopRequests();
        window.FitToScreen();
        window.show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        // A button picture that cannot be loaded ends the program before its window shows.
        std::fprintf(stderr, "linkspy: %s\n", e.what());
        return 1;
    }
}
