#include "app/ScreenshotRun.h"
#include "app/AnalysisView.h"
#include "app/LocationMapDialog.h"
#include "app/MainWindow.h"
#include "app/ResultsModel.h"
#include "platform/window/EventLoop.h"

#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
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

// The picture of one track into file, larger than on the sheet.
void savepicture(const AnalysisView& view, const QString& file)
{
    QPixmap picture(880, 300);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    view.render(painter, picture.rect());
    painter.end();
    save(picture, file);
}

// With TEMPIX_SCREENSHOT_LONG_TRACK, the picture of that track, whole and a
// minute of its middle; with TEMPIX_SCREENSHOT_MOVED_LIBRARY (a library whose
// locations name this home's Music/Demo folder as another computer did), the
// mapping dialog as it opens on it and once that folder is chosen. Then done.
void extrapictures(MainWindow& window, AnalysisView* view, QString dir, std::function<void()> done)
{
    const char* moved = std::getenv("TEMPIX_SCREENSHOT_MOVED_LIBRARY");
    auto mapping = [&window, dir, done, library = std::string(moved ? moved : "")] {
        if (library.empty()) {
            done();
            return;
        }
        auto* d = new LocationMapDialog(window.platformwindow(), {}, library);
        d->setAttribute(Qt::WA_DeleteOnClose);
        d->show();
        whenready([d] { return !d->counting() && d->table()->rowCount() > 0; },
                  [d, dir, done] {
                      d->grab().save(dir + "/map-locations-suggested.png");
                      d->table()->item(0, 1)->setText(QDir::homePath() + "/Music/Demo");
                      whenready([d] { return !d->counting(); },
                                [d, dir, done] {
                                    d->grab().save(dir + "/map-locations.png");
                                    d->close();
                                    done();
                                });
                  });
    };
    const char* longTrack = std::getenv("TEMPIX_SCREENSHOT_LONG_TRACK");
    if (!view || !longTrack) {
        mapping();
        return;
    }
    view->showtrack(longTrack);
    whenready([view] { return !view->loading(); },
              [view, dir, mapping] {
                  savepicture(*view, dir + "/analysis-long.png");
                  view->showspan(view->viewlength() / 2, 60.0);
                  savepicture(*view, dir + "/analysis-zoomed.png");
                  mapping();
              });
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
        // The preview first: what the batch will take, before anything is decoded.
        window.sendcommand(ovra::fourcc("Prvw"));
        ProcessingWindow& sheet = window.processingwindow();
        whenready([&sheet] { return sheet.iscreated() && !sheet.running(); },
                  [&window, &sheet, dir] {
                      savewindow(sheet, dir + "/preview.png");
                      sheet.sendcommand(ovra::fourcc("clos"));
                      ovra::processpendingevents();
                      window.sendcommand(ovra::fourcc("Strt"));
                      whenready([&sheet] { return sheet.iscreated() && !sheet.running(); },
                                [&window, &sheet, dir] {
                                    // The table by tempo, and the picture of the track in the middle.
                                    QTableView* table = sheet.table();
                                    if (table && table->model()->rowCount() > 0) {
                                        table->sortByColumn(ResultsModel::BPM, Qt::AscendingOrder);
                                        table->selectRow(table->model()->rowCount() / 2);
                                    }
                                    AnalysisView* view = sheet.analysisview();
                                    whenready([view] { return !view || !view->loading(); },
                                              [&window, &sheet, view, dir] {
                                                  savewindow(sheet, dir + "/results-table.png");
                                                  if (view)
                                                      savepicture(*view, dir + "/analysis-picture.png");
                                                  extrapictures(window, view, dir, [] { ovra::quitapplication(); });
                                              });
                                });
                  });
    });
}

} // namespace ovra::tempix
