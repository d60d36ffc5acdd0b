#include "platform/window/EventLoop.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>

namespace ovra {

namespace {
// Not destroyed at exit: by then the toolkit's own statics may be gone.
QApplication* application = nullptr;
} // namespace

void initevents(int& argc, char** argv)
{
    if (QCoreApplication::instance())
        return;
    application = new QApplication(argc, argv);
    // Only the quit request ends the program, not the last closed window.
    QApplication::setQuitOnLastWindowClosed(false);
}

int runapplicationloop()
{
    int status = QCoreApplication::exec();
    // Windows disposed during the last events go now, not at exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}

void endevents()
{
    delete application;
    application = nullptr;
}

void quitapplication()
{
    // Queued, and straight out of the loop: the toolkit's own quit would first
    // ask every window to close, and a window's close box asks to quit.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void processpendingevents()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace ovra
