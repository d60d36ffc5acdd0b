#include "app/ScreenshotRun.h"
#include "app/MainWindow.h"
#include "platform/window/EventLoop.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <memory>

namespace ovra::tempix {

namespace {
void save(const QPixmap& picture, const QString& file)
{
    if (!picture.save(file))
        std::fprintf(stderr, "tempix: could not write %s\n", file.toLocal8Bit().constData());
}

// The screen area of the main window and of a sheet over it.
void grab(MainWindow& window, const QString& file)
{
    QWidget* main = window.platformwindow();
    QRect area = main->frameGeometry();
    if (QWidget* sheet = window.processingwindow().platformwindow())
        area = area.united(sheet->frameGeometry());
    QScreen* screen = main->screen();
    save(screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()), file);
}
} // namespace

void schedulescreenshots(MainWindow& window, const char* folder)
{
    QString dir = QString::fromLocal8Bit(folder);
    QTimer::singleShot(800, [&window, dir] {
        grab(window, dir + "/main-window.png");
        window.sendcommand(ovra::fourcc("More"));
        if (QWidget* sheet = window.optionswindow().platformwindow())
            save(sheet->grab(), dir + "/genre-sheet.png");
        window.optionswindow().sendcommand(ovra::fourcc("not!"));
        window.sendcommand(ovra::fourcc("abou"));
        if (QWidget* about = window.aboutwindow().platformwindow())
            save(about->grab(), dir + "/about-window.png");
        window.aboutwindow().sendcommand(ovra::fourcc("clos"));
        window.sendcommand(ovra::fourcc("Strt"));
        auto* poll = new QTimer;
        poll->setInterval(100);
        QObject::connect(poll, &QTimer::timeout, [&window, dir, poll] {
            ProcessingWindow& sheet = window.processingwindow();
            if (sheet.iscreated() && sheet.running())
                return;
            poll->stop();
            poll->deleteLater();
            // Let the last posted changes reach the sheet and be painted.
            QTimer::singleShot(500, [&window, dir] {
                grab(window, dir + "/finished-batch.png");
                ovra::quitapplication();
            });
        });
        poll->start();
    });
}

} // namespace ovra::tempix
