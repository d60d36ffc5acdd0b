// The analysis picture drawn into an image: the markers, the beat grid and
// the time axis stand at the x of their known times.
#include "DesktopFixture.h"
#include "app/AnalysisView.h"

#include <QImage>
#include <QPainter>

#include <cmath>

using namespace ovra::tempix;

namespace {

class AnalysisPictureTest : public DesktopTest {
protected:
    // 40 s at 44100 Hz; a period of 1 s (120 BPM: a beat every 0.5 s); the
    // first beat at 3 s, the last at 36 s; the level half of full scale.
    static std::shared_ptr<TrackPicture> knownpicture()
    {
        auto p = std::make_shared<TrackPicture>();
        p->path = "/music/known.mp3";
        p->hasRecord = true;
        p->record.flags = TrackDataRecord::FLAG_ANALYSIS;
        TrackAnalysis& a = p->record.analysis;
        a.sampleRate = 44100;
        a.frameCount = 40 * 44100;
        a.loudness = a.peakLevel = 1000;
        a.beatPeriod = a.startPeriod = a.endPeriod = 44100;
        a.firstBeat = 3 * 44100;
        a.lastBeat = 36 * 44100;
        p->duration = 40.0;
        p->blockSeconds = 0.01;
        p->level.assign(4000, 0.5f);
        return p;
    }

    // x of a time: the plot's width spans the track, left edge at 0 s.
    static int expectedx(double seconds, const QRect& plot)
    {
        return plot.left() + int(std::lround(seconds / 40.0 * (plot.width() - 1)));
    }

    static int inColumn(const QImage& image, int x, const QRect& plot, const QColor& colour)
    {
        int n = 0;
        for (int y = plot.top(); y <= plot.bottom(); ++y)
            n += image.pixelColor(x, y) == colour;
        return n;
    }
};

} // namespace

TEST_F(AnalysisPictureTest, MarkersGridAndAxisStandAtTheirTimes)
{
    AnalysisView view;
    view.setpicture(knownpicture());
    QImage image(900, 320, QImage::Format_RGB32);
    QPainter painter(&image);
    view.render(painter, image.rect());
    painter.end();
    const QRect plot = view.plotarea(image.rect());
    const AnalysisView::Colours c = view.colours();
    ASSERT_GT(plot.width(), 700);

    // Start and stop solid over the whole plot; with the intro and outro
    // skipped (four whole periods of 1 s) dashed.
    struct Mark {
        double seconds;
        bool dashed;
    };
    for (Mark m : {Mark{3.0, false}, Mark{36.0, false}, Mark{7.0, true}, Mark{32.0, true}}) {
        const int x = expectedx(m.seconds, plot);
        SCOPED_TRACE(m.seconds);
        if (m.dashed) {
            EXPECT_GT(inColumn(image, x, plot, c.marker), plot.height() / 3);
            EXPECT_LT(inColumn(image, x, plot, c.marker), plot.height());
        } else {
            EXPECT_EQ(inColumn(image, x, plot, c.marker), plot.height());
        }
        EXPECT_EQ(inColumn(image, x - 3, plot, c.marker), 0);
        EXPECT_EQ(inColumn(image, x + 4, plot, c.marker), 0);
    }

    // Grid points every second from the first beat, beats between them.
    const int top = plot.top() + 2;
    EXPECT_EQ(image.pixelColor(expectedx(5.0, plot), top), c.grid);
    EXPECT_NE(image.pixelColor(expectedx(5.5, plot), top), c.background);
    EXPECT_EQ(image.pixelColor(expectedx(5.25, plot), top), c.background);
    EXPECT_EQ(image.pixelColor(expectedx(2.0, plot), top), c.background);  // before the first beat
    EXPECT_EQ(image.pixelColor(expectedx(38.0, plot), top), c.background); // after the last

    // The level: -6 dB of a 60 dB scale fills nine tenths of the plot's height.
    const int levelTop = plot.bottom() - int(std::lround(54.0 / 60.0 * (plot.height() - 1)));
    const int x = expectedx(20.25, plot);
    EXPECT_EQ(image.pixelColor(x, levelTop + 1), c.level);
    EXPECT_EQ(image.pixelColor(x, levelTop - 2), c.background);

    // The axis: a tick under every five seconds.
    for (double t : {0.0, 5.0, 20.0, 40.0})
        EXPECT_EQ(image.pixelColor(expectedx(t, plot), plot.bottom() + 3), c.text) << t;
    EXPECT_EQ(image.pixelColor(expectedx(2.5, plot), plot.bottom() + 3), c.background);
}

TEST_F(AnalysisPictureTest, WithoutAnAnalysisOnlyTheReasonShows)
{
    auto p = std::make_shared<TrackPicture>();
    p->path = "/music/short.mp3";
    p->fresh.failure = "Track too short (3.000 s).\n";
    AnalysisView view;
    view.setpicture(p);
    QImage image(600, 240, QImage::Format_RGB32);
    QPainter painter(&image);
    view.render(painter, image.rect());
    painter.end();
    const QRect plot = view.plotarea(image.rect());
    const AnalysisView::Colours c = view.colours();
    for (int x = plot.left() + 1; x < plot.right(); x += 7)
        ASSERT_EQ(inColumn(image, x, plot.adjusted(0, 1, 0, -1), c.background), plot.height() - 2) << x;
}
