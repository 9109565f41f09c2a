#pragma once
// The tool's help: "linkspy.html" beside the program when there is one (a site may put its
// own there), else the page built into the program, copied to a file that a browser can open.

#include <QString>
#include <QUrl>

namespace kvx::scantool::gui {

// The page to open; an empty URL and `error` set when no page can be had.
QUrl HelpPage(QString& error);

// Opens the page with the desktop's viewer; false and `error` set when that fails.
bool OpenHelp(QString& error);

}  // namespace kvx::scantool::gui
