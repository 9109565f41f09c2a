// linkspy: the service tool of the KVX field bus in a window. Works in the current directory
// (or the one given with -C): the .cfg files, LINKSPY.INI and the protocol files are found and
// written there.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QScreen>
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
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/linkspy.svg")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("KVX RS485 link spy: bus scan, bus test, test protocol and driver INI "
                       "generation"));
    parser.addHelpOption();
    const QCommandLineOption directory(QStringLiteral("C"), QStringLiteral("Change to DIR first."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port for this run (not stored)."),
                                  QStringLiteral("NAME"));
    parser.addOption(directory);
    parser.addOption(port);
    parser.process(app);

    if (parser.isSet(directory) && !QDir::setCurrent(parser.value(directory))) {
        std::fprintf(stderr, "linkspy: cannot change to %s\n",
                     parser.value(directory).toLocal8Bit().constData());
        return 2;
    }

    ToolEnvironment environment;
    // Boxes without a caption of their own show the program's file name without extension.
    environment.title =
        QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
    try {
        gui::ScanToolWindow window(environment);
        window.Start();
        if (parser.isSet(port) && !window.tool().OverridePort(gui::ToSystem(parser.value(port)))) {
            return 2;
        }
        if (const QScreen* screen = window.screen()) {
            const QRect frame({}, window.size());
            window.move(screen->availableGeometry().center() - frame.center());
        }
        window.show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        // A button picture that cannot be loaded ends the program before its window shows.
        std::fprintf(stderr, "linkspy: %s\n", e.what());
        return 1;
    }
}
