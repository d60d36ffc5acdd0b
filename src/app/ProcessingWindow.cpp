#include "app/ProcessingWindow.h"
#include "app/MainWindow.h"

#ifdef TEMPIX_HAVE_CONSOLE_ROUTE
#include "script/ConsoleLog.h"
#else
#include <QDesktopServices>
#include <QUrl>
#endif

namespace ovra::tempix {

namespace {
enum : int {
    PROGRESS_BAR = 101,
    FILE_TEXT = 102,
    STATUS_TEXT = 103,
    CANCEL_BUTTON = 105,
    BUSY_INDICATOR = 106,
};
// How often a closing sheet looks whether the worker has returned.
constexpr int WAIT_POLL_MS = 15;

// The log in the desktop's viewer, through the script runner's Console when
// the script helper is built in. Failures are silent.
void showlog(const char* path)
{
    if (!path || !*path)
        return;
#ifdef TEMPIX_HAVE_CONSOLE_ROUTE
    openLogInConsole(path);
#else
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(path)));
#endif
}
} // namespace

ProcessingWindow::ProcessingWindow(MainWindow& owner) : mainWindow(owner), batch(*this)
{
    waitTimer.setInterval(WAIT_POLL_MS);
    QObject::connect(&waitTimer, &QTimer::timeout, [this] {
        if (!batch.running())
            finishclosing();
    });
}

ProcessingWindow::~ProcessingWindow()
{
    closeRequested = true;
    waitTimer.stop();
    batch.cancelall();
    batch.waitall();
}

bool ProcessingWindow::windowcreated()
{
    closeRequested = false;
    BatchOptions options = mainWindow.batchoptions();
    options.window = &batch;
    if (batch.start(mainWindow.batchsettings(), options) != 0) {
        // Nothing runs; the user closes the sheet with its button.
        control(STATUS_TEXT).settext("The batch could not be started.");
        control(CANCEL_BUTTON).settext("Close");
        control(BUSY_INDICATOR).postvisible(false);
    }
    return true;
}

void ProcessingWindow::stopbatch()
{
    batch.cancelall();
    batch.waitall();
}

// Cancels the batch and lets the display go on while the worker reaches its
// next cancellation check; the sheet goes once the worker has returned.
void ProcessingWindow::close()
{
    if (!iscreated() || closeRequested)
        return;
    closeRequested = true;
    batch.cancelall();
    if (!batch.running()) {
        finishclosing();
        return;
    }
    control(CANCEL_BUTTON).enable(false);
    control(STATUS_TEXT).settext("Cancelling…");
    waitTimer.start();
}

void ProcessingWindow::finishclosing()
{
    waitTimer.stop();
    batch.waitall();
    dispose(); // changes still queued for this sheet are dropped
}

bool ProcessingWindow::command(ovra::CommandID command)
{
    switch (command) {
    case ovra::fourcc("not!"):
    case ovra::fourcc("clos"):
        close();
        return true;
    case ovra::fourcc("SLog"):
        showlog(batch.logPath());
        return true;
    default:
        return false;
    }
}

void ProcessingWindow::setFileLine(const char* text)
{
    if (!closeRequested)
        control(FILE_TEXT).posttext(text);
}

void ProcessingWindow::setStatusLine(const char* text)
{
    if (!closeRequested)
        control(STATUS_TEXT).posttext(text);
}

void ProcessingWindow::setProgressRange(int count)
{
    if (closeRequested)
        return;
    control(PROGRESS_BAR).postmaximum(count);
    control(PROGRESS_BAR).postvalue(0);
}

void ProcessingWindow::setProgressValue(int value)
{
    if (!closeRequested)
        control(PROGRESS_BAR).postvalue(value);
}

void ProcessingWindow::batchEnded(const char* message, bool /*errors*/)
{
    if (closeRequested)
        return;
    control(FILE_TEXT).posttext("");
    control(STATUS_TEXT).posttext(message);
    control(CANCEL_BUTTON).posttitle("Close");
    control(BUSY_INDICATOR).postvisible(false);
}

void ProcessingWindow::logEntry(const char* /*text*/)
{
    // The sheet shows no log lines; they are in the log file.
}

} // namespace ovra::tempix
