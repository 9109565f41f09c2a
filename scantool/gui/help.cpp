#include "help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "kvx/platform/process_group.h"

namespace kvx::scantool::gui {

QUrl HelpPage(QString& error) {
    const QString besideProgram =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("linkspy.html"));
    if (QFileInfo::exists(besideProgram)) return QUrl::fromLocalFile(besideProgram);

    QFile bundled(QStringLiteral(":/help/linkspy.html"));
    if (!bundled.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("The help page of the program is missing.");
        return {};
    }
    const QByteArray page = bundled.readAll();
    QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (folder.isEmpty()) folder = QDir::temp().filePath(QStringLiteral("linkspy"));
    const QString path = QDir(folder).filePath(QStringLiteral("linkspy.html"));
    QFile copy(path);
    if (!QDir().mkpath(folder) || !copy.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        copy.write(page) != page.size() || !copy.flush()) {
        error = QStringLiteral("The help page cannot be written to %1.").arg(path);
        return {};
    }
    return QUrl::fromLocalFile(path);
}

namespace {
QString NoViewer(const QString& page) {
    return QStringLiteral("No viewer could be started for the help page %1.").arg(page);
}
}  // namespace

HelpViewer::HelpViewer(QObject* parent) : QObject(parent) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Run here rather than through the desktop services, which start it detached and never
    // learn whether the page was shown.
    program_ = QStringLiteral("xdg-open");
#endif
}

HelpViewer::~HelpViewer() {
    for (QProcess* viewer : running_) {
        viewer->disconnect(this);
        const qint64 leader = viewer->processId();
        platform::endProcessGroup(leader, false);
        if (!viewer->waitForFinished(1500)) {
            platform::endProcessGroup(leader, true);
            viewer->waitForFinished(1000);
        }
    }
}

bool HelpViewer::Open(QString& error) {
    const QUrl url = HelpPage(error);
    if (url.isEmpty()) return false;
    const QString page = url.toLocalFile();
    if (program_.isEmpty()) {
        if (QDesktopServices::openUrl(url)) return true;
        error = NoViewer(page);
        return false;
    }

    auto* viewer = new QProcess(this);
    viewer->setProgram(program_);
    viewer->setArguments({page});
    viewer->setProcessChannelMode(QProcess::ForwardedChannels);
    // Its own group, so that closing it also closes a browser it runs in turn.
    viewer->setChildProcessModifier([] { platform::enterNewProcessGroup(); });
    connect(
        viewer, &QProcess::finished, this,
        [this, viewer, page](int code, QProcess::ExitStatus status) {
            running_.removeOne(viewer);
            viewer->deleteLater();
            if (status == QProcess::NormalExit && code == 0) return;
            emit failed(status == QProcess::NormalExit
                            ? QStringLiteral("The help viewer %1 could not show the help page %2 "
                                             "(exit status %3).")
                                  .arg(program_, page)
                                  .arg(code)
                            : QStringLiteral("The help viewer %1 ended before it showed the help "
                                             "page %2.")
                                  .arg(program_, page));
        });
    viewer->start();
    if (!viewer->waitForStarted(5000)) {
        viewer->disconnect(this);
        delete viewer;
        error = NoViewer(page);
        return false;
    }
    running_.append(viewer);
    return true;
}

}  // namespace kvx::scantool::gui
