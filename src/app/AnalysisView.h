// A picture of what the analysis found in one track: its loudness in
// decibels, the beat grid from the first to the last beat, the start and
// stop times with and without the skipped intro and outro, a time axis and
// a legend. The whole track shows at first; the wheel, a drag and the keys
// (+ and -, the arrows, Home and End, 0 for the whole track) zoom and scroll.
// A click on a marker or a beat line says its time.
#pragma once
#include "app/AnalysisLoader.h"
#include "batch/TrackPicture.h"

#include <QColor>
#include <QString>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

namespace ovra::tempix {

class AnalysisView : public QWidget {
public:
    // Where the markers are, in seconds, for the analysis a picture shows.
    struct Marks {
        double duration = 0.0;
        double firstBeat = 0.0;
        double lastBeat = 0.0;
        double beat = 0.0;  // one beat: half the analysis's period
        double start = 0.0; // the start time written without lessintro
        double stop = 0.0;
        double startLessIntro = 0.0; // and with it
        double stopLessIntro = 0.0;
        int bpm = 0;
    };
    struct Colours {
        QColor background, level, grid, weakGrid, marker, text;
    };
    // The beat grid drawn at a width: a line every `beats` beats (1, 4, 16,
    // 64...), every fourth of them strong; none when there is no beat.
    struct Grid {
        int beats = 0;
        QString every;        // "every beat", "every bar", "every 4 bars"...
        QString strong, weak; // what a strong and a weak line stand for
    };

    explicit AnalysisView(QWidget* parent = nullptr);
    ~AnalysisView() override;

    // Makes the picture of the file on a worker thread; an empty path clears.
    void showtrack(const std::string& path);
    // Shows a picture made elsewhere, the whole track.
    void setpicture(std::shared_ptr<const TrackPicture> picture);
    const TrackPicture* picture() const { return current.get(); }
    const std::string& requestedpath() const { return requested; }
    bool loading() const { return waiting; }

    // The part of the track in view, in seconds (the whole track at first).
    double viewstart() const;
    double viewlength() const;
    void showspan(double start, double length);
    void showall() { showspan(0.0, 0.0); }
    // Zooms by factor (above 1 closer) keeping the time at anchor in place.
    void zoom(double factor, double anchor);
    void scroll(double seconds);

    // What paintEvent draws, into any painter.
    void render(QPainter& painter, const QRect& area) const;
    QRect plotarea(const QRect& area) const;
    // The x of a time in the view; outside it, off the plot.
    int xat(double seconds, const QRect& plot) const;
    static bool marksof(const TrackPicture& picture, Marks& marks);
    static Grid gridfor(double beatSeconds, double viewSeconds, int plotWidth);
    // The grid the picture draws in area, and its words as the legend shows them.
    Grid grid(const QRect& area) const;
    Colours colours() const;
    // What a click at point names (a marker or a beat line and its time);
    // empty when nothing is within a few pixels. seconds gets its time.
    QString markerat(const QPoint& point, const QRect& area, double* seconds = nullptr) const;
    // The name and time a click chose, drawn in the picture until the next.
    const QString& chosenmarker() const { return chosen; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Named {
        QString name;
        double seconds;
    };
    std::string caption() const;
    std::vector<Named> namedmarks(const Marks& m) const;
    void drawlegend(QPainter& painter, const QRect& row, const Grid& g) const;

    std::shared_ptr<const TrackPicture> current;
    std::string requested;
    bool waiting = false;
    double spanStart = 0.0;
    double spanLength = 0.0; // 0: the whole track
    QString chosen;
    double chosenAt = -1.0; // seconds
    int dragFrom = -1;      // x where a drag began; -1: none
    double dragStart = 0.0; // the view's start then
    bool dragged = false;
    std::unique_ptr<AnalysisLoader> loader; // last: waits for its worker first
};

} // namespace ovra::tempix
