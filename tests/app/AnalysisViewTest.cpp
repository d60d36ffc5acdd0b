// The analysis picture drawn into an image: the markers and the beat grid
// stand at the x of their known times; the grid thins out and comes back as
// the track lengthens and the view zooms in.
#include "DesktopFixture.h"
#include "app/AnalysisView.h"

#include <QImage>
#include <QPainter>
#include <QTest>

#include <cmath>

using namespace ovra::tempix;

namespace {

class AnalysisPictureTest : public DesktopTest {
protected:
    // A silent track of seconds at 44100 Hz and 120 BPM (a period of 1 s),
    // with beats from first to last (in samples).
    static std::shared_ptr<TrackPicture> picture(const char* path, int seconds, uint32_t first, uint32_t last)
    {
        auto p = std::make_shared<TrackPicture>();
        p->path = path;
        p->hasRecord = true;
        p->record.flags = TrackDataRecord::FLAG_ANALYSIS;
        TrackAnalysis& a = p->record.analysis;
        a.sampleRate = 44100;
        a.frameCount = uint32_t(seconds) * 44100;
        a.loudness = a.peakLevel = 1000;
        a.beatPeriod = a.startPeriod = a.endPeriod = 44100;
        a.firstBeat = first;
        a.lastBeat = last;
        p->duration = seconds;
        p->blockSeconds = 0.01;
        return p;
    }

    // 40 s, the first beat at 3 s, the last at 36 s; the level half of full scale.
    static std::shared_ptr<TrackPicture> knownpicture()
    {
        auto p = picture("/music/known.mp3", 40, 3 * 44100, 36 * 44100);
        p->level.assign(4000, 0.5f);
        return p;
    }

    // Beats from 0.5 s to a second before the end.
    static std::shared_ptr<TrackPicture> steadypicture(int seconds)
    {
        return picture("/music/steady.mp3", seconds, 22050, uint32_t(seconds - 2) * 44100 + 22050);
    }

    // x of a time when the plot's width spans from..to seconds.
    static int expectedx(double seconds, const QRect& plot, double from = 0.0, double to = 40.0)
    {
        return plot.left() + int(std::lround((seconds - from) / (to - from) * (plot.width() - 1)));
    }

    static QImage rendered(const AnalysisView& view, QSize size)
    {
        QImage image(size, QImage::Format_RGB32);
        QPainter painter(&image);
        view.render(painter, image.rect());
        return image;
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

// A click on a marker or a beat line names it with its time; a click
// between lines names nothing.
TEST_F(AnalysisPictureTest, MarkersAndGridStandAtTheirTimesAndAClickNamesThem)
{
    AnalysisView view;
    view.resize(900, 320);
    view.show();
    view.setpicture(knownpicture());
    const QImage image = rendered(view, QSize(900, 320));
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

    const int y = plot.center().y();
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(view.xat(36.0, plot) + 1, y));
    EXPECT_EQ(view.chosenmarker(), "Stop 0:36.000");
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(view.xat(7.0, plot), y));
    EXPECT_EQ(view.chosenmarker(), "Start without intro 0:07.000");
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(view.xat(11.5, plot) - 1, y));
    EXPECT_EQ(view.chosenmarker(), "Beat 18 0:11.500"); // (11.5 - 3) / 0.5 + 1
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(view.xat(11.75, plot), y));
    EXPECT_TRUE(view.chosenmarker().isEmpty());
}

// At 1200 pixels: 30 s shows every beat (17 px apart), 7 minutes every bar
// (5.4 px), an hour every 16 bars (10 px); the lines stand where the count of
// beats puts them, the bar lines strong, and the legend's words say which.
TEST_F(AnalysisPictureTest, BeatGridAtThreeLengths)
{
    struct Case {
        int seconds;
        int every;
        const char* words;
        const char* strong;
    };
    for (Case k : {Case{30, 1, "every beat", "bar"}, Case{420, 4, "every bar", "4 bars"},
                   Case{3600, 64, "every 16 bars", "64 bars"}}) {
        SCOPED_TRACE(k.seconds);
        AnalysisView view;
        view.setpicture(steadypicture(k.seconds));
        const QImage image = rendered(view, QSize(1200, 320));
        const QRect plot = view.plotarea(image.rect());
        const AnalysisView::Colours c = view.colours();
        const AnalysisView::Grid g = view.grid(image.rect());
        EXPECT_EQ(g.beats, k.every);
        EXPECT_EQ(g.every, k.words);
        EXPECT_EQ(g.strong, k.strong);

        // Beats every 0.5 s from 0.5 s: a line every `every` beats, every
        // fourth line strong, nothing between two lines.
        auto at = [&](double beats) {
            return image.pixelColor(expectedx(0.5 + beats * 0.5, plot, 0.0, k.seconds), plot.top() + 3);
        };
        EXPECT_EQ(at(4 * k.every), c.grid);
        EXPECT_EQ(at(5 * k.every), c.weakGrid);
        EXPECT_EQ(at(5.5 * k.every), c.background);
    }
}

// An hour zoomed in to one minute shows every beat again; the keys move
// the view as they say.
TEST_F(AnalysisPictureTest, ZoomedIntoAnHourEveryBeatShows)
{
    AnalysisView view;
    view.resize(1200, 320);
    view.show();
    view.setpicture(steadypicture(3600));
    EXPECT_EQ(view.viewlength(), 3600.0);
    view.showspan(1800.0, 60.0);
    const QImage image = rendered(view, QSize(1200, 320));
    const QRect plot = view.plotarea(image.rect());
    const AnalysisView::Colours c = view.colours();
    EXPECT_EQ(view.grid(image.rect()).every, "every beat");
    // Lines counted from the view's start: 1800.5 s is a bar's first beat.
    auto at = [&](double t) { return image.pixelColor(expectedx(t, plot, 1800.0, 1860.0), plot.top() + 3); };
    EXPECT_EQ(at(1800.5), c.grid);
    EXPECT_EQ(at(1801.0), c.weakGrid);
    EXPECT_EQ(at(1801.25), c.background);
    int lines = 0; // every beat from 1800 s to 1860 s, one column each
    for (int x = plot.left(); x <= plot.right(); ++x)
        lines += QList<QColor>{c.grid, c.weakGrid}.contains(image.pixelColor(x, plot.top() + 3));
    EXPECT_EQ(lines, 121);

    // + halves the view about its middle, - doubles it, 0 shows it all.
    struct Key {
        Qt::Key key;
        double start, length;
    };
    for (Key k :
         {Key{Qt::Key_Plus, 1815.0, 30.0}, Key{Qt::Key_Right, 1815.0 + 30.0 / 8, 30.0}, Key{Qt::Key_End, 3570.0, 30.0},
          Key{Qt::Key_Home, 0.0, 30.0}, Key{Qt::Key_Minus, 0.0, 60.0}, Key{Qt::Key_0, 0.0, 3600.0}}) {
        QTest::keyClick(&view, k.key);
        EXPECT_DOUBLE_EQ(view.viewstart(), k.start) << k.key;
        EXPECT_DOUBLE_EQ(view.viewlength(), k.length) << k.key;
    }
}
