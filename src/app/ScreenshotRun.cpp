#include "app/ScreenshotRun.h"
#include "app/AnalysisView.h"
#include "app/MainWindow.h"
#include "app/ResultsModel.h"
#include "platform/window/EventLoop.h"

#include <QPainter>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>
#include <memory>

namespace ovra::tempix {

namespace {
void save(const QPixmap& picture, const QString& file)
{
    if (!picture.save(file))
        std::fprintf(stderr, "tempix: could not write %s\n", file.toLocal8Bit().constData());
}

void savewindow(NativeWindow& window, const QString& file)
{
    if (QWidget* w = window.platformwindow())
        save(w->grab(), file);
}

// Calls then() once ready() holds, looking every 100 ms; gives up after a minute.
void whenready(std::function<bool()> ready, std::function<void()> then, int tries = 600)
{
    if (ready()) {
        // Let the last posted changes arrive and be painted.
        QTimer::singleShot(400, then);
        return;
    }
    if (tries == 0) {
        std::fprintf(stderr, "tempix: the screenshots gave up waiting\n");
        ovra::quitapplication();
        return;
    }
    QTimer::singleShot(100, [ready, then, tries] { whenready(ready, then, tries - 1); });
}
} // namespace

void schedulescreenshots(MainWindow& window, const char* folder)
{
    QString dir = QString::fromLocal8Bit(folder);
    QTimer::singleShot(800, [&window, dir] {
        savewindow(window, dir + "/main-window.png");
        window.sendcommand(ovra::fourcc("More"));
        ovra::processpendingevents();
        savewindow(window.optionswindow(), dir + "/genre-sheet.png");
        window.optionswindow().sendcommand(ovra::fourcc("not!"));
        window.sendcommand(ovra::fourcc("abou"));
        ovra::processpendingevents();
        savewindow(window.aboutwindow(), dir + "/about-window.png");
        window.aboutwindow().sendcommand(ovra::fourcc("clos"));
        window.sendcommand(ovra::fourcc("Strt"));
        ProcessingWindow& sheet = window.processingwindow();
        whenready([&sheet] { return sheet.iscreated() && !sheet.running(); },
                  [&sheet, dir] {
                      // The table by tempo, and the picture of the track in the middle.
                      QTableView* table = sheet.table();
                      if (table && table->model()->rowCount() > 0) {
                          table->sortByColumn(ResultsModel::BPM, Qt::AscendingOrder);
                          table->selectRow(table->model()->rowCount() / 2);
                      }
                      AnalysisView* view = sheet.analysisview();
                      whenready([view] { return !view || !view->loading(); },
                                [&sheet, view, dir] {
                                    savewindow(sheet, dir + "/results-table.png");
                                    if (view) {
                                        // The picture alone, larger.
                                        QPixmap picture(880, 300);
                                        picture.fill(Qt::transparent);
                                        QPainter painter(&picture);
                                        view->render(painter, picture.rect());
                                        painter.end();
                                        save(picture, dir + "/analysis-picture.png");
                                    }
                                    ovra::quitapplication();
                                });
                  });
    });
}

} // namespace ovra::tempix
