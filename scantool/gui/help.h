#pragma once
// The tool's help: "linkspy.html" beside the program when there is one (a site may put its
// own there), else the page built into the program, copied to a file that a browser can open.

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QProcess;

namespace kvx::scantool::gui {

// The page to open; an empty URL and `error` set when no page can be had.
QUrl HelpPage(QString& error);

// The viewers started for the help page. A viewer that fails (it cannot be started, or it
// ends with a failure status, as xdg-open does when no application shows the page) is
// reported with `failed`; viewers still running when this object goes (the tool ends) are
// closed with every process they started.
class HelpViewer : public QObject {
    Q_OBJECT
  public:
    explicit HelpViewer(QObject* parent = nullptr);
    ~HelpViewer() override;

    // The program that is given the page's path; empty: the desktop's own way of opening it.
    void setProgram(QString program) { program_ = std::move(program); }
    const QString& program() const { return program_; }

    // Starts a viewer for the page. False with `error` set when there is no page or no
    // viewer could be started; a viewer that fails later is reported with `failed`.
    bool Open(QString& error);

  signals:
    void failed(const QString& error);

  private:
    QString program_;
    QList<QProcess*> running_;
};

}  // namespace kvx::scantool::gui
