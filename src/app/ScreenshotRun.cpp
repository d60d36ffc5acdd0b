#include "app/ScreenshotRun.h"
#include "app/MainWindow.h"
#include "platform/window/EventLoop.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPen>
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

// The screen area of the main window and of a sheet over it. The virtual
// display has no window manager, so the sheet gets a drawn outline.
void grab(MainWindow& window, const QString& file)
{
    QWidget* main = window.platformwindow();
    QRect area = main->frameGeometry();
    QWidget* sheet = window.processingwindow().platformwindow();
    if (sheet)
        area = area.united(sheet->frameGeometry());
    QScreen* screen = main->screen();
    QPixmap picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (sheet) {
        QPainter painter(&picture);
        QRect r = sheet->frameGeometry().translated(-area.topLeft());
        painter.setPen(QPen(QColor(0, 0, 0, 60), 6));
        painter.drawRect(r.adjusted(-3, -3, 2, 2));
        painter.setPen(QPen(QColor(90, 90, 90), 1));
        painter.drawRect(r.adjusted(0, 0, -1, -1));
    }
    save(picture, file);
}
} // namespace

void schedulescreenshots(MainWindow& window, const char* folder)
{
    QString dir = QString::fromLocal8Bit(folder);
    QTimer::singleShot(800, [&window, dir] {
        grab(window, dir + "/main-window.png");
        window.sendcommand(ovra::fourcc("More"));
        ovra::processpendingevents();
        if (QWidget* sheet = window.optionswindow().platformwindow())
            save(sheet->grab(), dir + "/genre-sheet.png");
        window.optionswindow().sendcommand(ovra::fourcc("not!"));
        window.sendcommand(ovra::fourcc("abou"));
        ovra::processpendingevents();
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
