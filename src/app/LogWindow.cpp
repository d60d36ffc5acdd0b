#include "app/LogWindow.h"

#include "script/ConsoleLog.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>

namespace ovra::tempix {

namespace {
enum : int { LOG_TEXT = 101 };

QString withoutlastlinefeed(const std::string& text)
{
    QString s = QString::fromUtf8(text.data(), qsizetype(text.size()));
    if (s.endsWith('\n'))
        s.chop(1);
    return s;
}
} // namespace

// Through the script runner's Console.
void showlogfile(const char* path)
{
    if (!path || !*path)
        return;
    openLogInConsole(path);
}

bool LogWindow::windowcreated()
{
    if (auto* edit = qobject_cast<QPlainTextEdit*>(findcontrol(LOG_TEXT)))
        edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    control(LOG_TEXT).settext(withoutlastlinefeed(entries).toUtf8().constData());
    return true;
}

bool LogWindow::command(ovra::CommandID command)
{
    if (disposeondismiss(command))
        return true;
    if (command != ovra::fourcc("SLog"))
        return false;
    showlogfile(logFile.c_str());
    return true;
}

void LogWindow::settext(const std::string& text)
{
    entries = text;
    if (iscreated())
        control(LOG_TEXT).settext(withoutlastlinefeed(entries).toUtf8().constData());
}

void LogWindow::append(const std::string& entry)
{
    entries += entry;
    auto* edit = qobject_cast<QPlainTextEdit*>(findcontrol(LOG_TEXT));
    if (!edit)
        return;
    // Follows the end only when the reader is there already.
    QScrollBar* bar = edit->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    edit->appendPlainText(withoutlastlinefeed(entry));
    if (atEnd)
        bar->setValue(bar->maximum());
}

std::string LogWindow::text() { return entries; }

} // namespace ovra::tempix
