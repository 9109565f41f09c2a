#include "help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

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

bool OpenHelp(QString& error) {
    const QUrl page = HelpPage(error);
    if (page.isEmpty()) return false;
    if (!QDesktopServices::openUrl(page)) {
        error = QStringLiteral("No viewer could be started for the help page %1.")
                    .arg(page.toLocalFile());
        return false;
    }
    return true;
}

}  // namespace kvx::scantool::gui
