// A picture of what the analysis found in one track: its loudness over the
// whole track, the beat grid from the first to the last beat, the start and
// stop times with and without the skipped intro and outro, and a time axis.
#pragma once
#include "app/AnalysisLoader.h"
#include "batch/TrackPicture.h"

#include <QColor>
#include <QWidget>

#include <memory>
#include <string>

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
        QColor background, level, grid, marker, text;
    };

    explicit AnalysisView(QWidget* parent = nullptr);
    ~AnalysisView() override;

    // Makes the picture of the file on a worker thread; an empty path clears.
    void showtrack(const std::string& path);
    // Shows a picture made elsewhere.
    void setpicture(std::shared_ptr<const TrackPicture> picture);
    const TrackPicture* picture() const { return current.get(); }
    const std::string& requestedpath() const { return requested; }
    bool loading() const { return waiting; }

    // What paintEvent draws, into any painter.
    void render(QPainter& painter, const QRect& area) const;
    QRect plotarea(const QRect& area) const;
    static int xat(double seconds, double duration, const QRect& plot);
    static bool marksof(const TrackPicture& picture, Marks& marks);
    Colours colours() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string caption() const;

    std::shared_ptr<const TrackPicture> current;
    std::string requested;
    bool waiting = false;
    std::unique_ptr<AnalysisLoader> loader; // last: waits for its worker first
};

} // namespace ovra::tempix
