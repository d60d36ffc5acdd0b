// The analysis picture drawn into an image: the markers, the beat grid and
// the time axis stand at the x of their known times; the grid thins out and
// comes back as the track lengthens and the view zooms in.
#include "DesktopFixture.h"
#include "app/AnalysisView.h"

#include <QImage>
#include <QPainter>
#include <QTest>
#include <QWheelEvent>

#include <cmath>
#include <map>
#include <set>

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

    // x of a time: the plot's width spans the track, left edge at 0 s.
    static int expectedx(double seconds, const QRect& plot)
    {
        return plot.left() + int(std::lround(seconds / 40.0 * (plot.width() - 1)));
    }

    static QImage rendered(const AnalysisView& view, QSize size)
    {
        QImage image(size, QImage::Format_RGB32);
        QPainter painter(&image);
        view.render(painter, image.rect());
        return image;
    }

    // The columns of the row just under the plot's top edge that hold a
    // grid line, strong or weak.
    static std::set<int> gridcolumns(const QImage& image, const QRect& plot, const AnalysisView::Colours& c)
    {
        std::set<int> xs;
        for (int x = plot.left(); x <= plot.right(); ++x) {
            const QColor p = image.pixelColor(x, plot.top() + 3);
            if (p == c.grid || p == c.weakGrid)
                xs.insert(x);
        }
        return xs;
    }

    // Each beat line of the view that the test expects (one every `every`
    // beats, counted from the first beat, on screen and not under a time
    // marker), with whether it is strong.
    static std::map<int, bool> expectedlines(const AnalysisView& view, const QRect& plot, int every)
    {
        AnalysisView::Marks m;
        EXPECT_TRUE(AnalysisView::marksof(*view.picture(), m));
        std::set<int> covered;
        for (double t : {m.start, m.stop, m.startLessIntro, m.stopLessIntro})
            for (int dx : {0, 1})
                covered.insert(view.xat(t, plot) + dx);
        const double from = view.viewstart(), to = from + view.viewlength();
        std::map<int, bool> lines;
        for (long k = 0; m.firstBeat + k * m.beat <= m.lastBeat + 1e-6; k += every) {
            const double t = m.firstBeat + k * m.beat;
            if (t < from - 1e-9 || t > to + 1e-9)
                continue;
            const int x = plot.left() + int(std::lround((t - from) / (to - from) * (plot.width() - 1)));
            if (!covered.count(x))
                lines[x] = k % (4 * every) == 0 || std::abs(t - m.lastBeat) < 1e-6;
        }
        return lines;
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
    const QImage image = rendered(view, QSize(600, 240));
    const QRect plot = view.plotarea(image.rect());
    const AnalysisView::Colours c = view.colours();
    for (int x = plot.left() + 1; x < plot.right(); x += 7)
        ASSERT_EQ(inColumn(image, x, plot.adjusted(0, 1, 0, -1), c.background), plot.height() - 2) << x;
}

// At 1200 pixels: 30 s shows every beat (17 px apart), 7 minutes every bar
// (5.4 px), an hour every 16 bars (10 px); every line where the count of
// beats puts it, the bar lines strong, and the legend's words say which.
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

        const std::map<int, bool> lines = expectedlines(view, plot, k.every);
        ASSERT_GT(lines.size(), 50u);
        std::set<int> want;
        for (const auto& [x, strong] : lines) {
            want.insert(x);
            EXPECT_EQ(image.pixelColor(x, plot.top() + 3), strong ? c.grid : c.weakGrid) << x;
        }
        std::set<int> drawn = gridcolumns(image, plot, c);
        for (int x = plot.left(); x <= plot.right(); ++x) // a marker's columns may hold a line under it
            if (image.pixelColor(x, plot.top() + 3) == c.marker)
                drawn.erase(x);
        EXPECT_EQ(drawn, want);

        // The decibel scale: a tick beside every 10 dB.
        for (int db = 0; db >= -60; db -= 10) {
            const int y = plot.bottom() - int(std::lround((db + 60.0) / 60.0 * (plot.height() - 1)));
            EXPECT_EQ(image.pixelColor(plot.left() - 3, y), c.text) << db;
        }
    }
}

// An hour zoomed in to one minute shows every beat again, with the time
// axis of that minute; the keys and the wheel move the view as they say.
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
    const std::map<int, bool> lines = expectedlines(view, plot, 1);
    EXPECT_EQ(lines.size(), 121u); // 1800.0 to 1860.0 s, both ends
    std::set<int> want;
    for (const auto& [x, strong] : lines)
        want.insert(x);
    EXPECT_EQ(gridcolumns(image, plot, c), want);
    // 30:00 at the left edge of the axis, not 0:00.
    EXPECT_EQ(image.pixelColor(plot.left(), plot.bottom() + 3), c.text);

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

    // The wheel zooms about the time under the pointer: it stays under it.
    const QRect widgetPlot = view.plotarea(view.rect());
    const QPointF at(widgetPlot.left() + widgetPlot.width() / 4.0, widgetPlot.center().y());
    auto timeat = [&] {
        return view.viewstart() + (at.x() - widgetPlot.left()) / (widgetPlot.width() - 1) * view.viewlength();
    };
    const double before = timeat();
    QWheelEvent wheel(at, view.mapToGlobal(at), QPoint(), QPoint(0, 120 * 8), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&view, &wheel);
    EXPECT_NEAR(view.viewlength(), 3600.0 / std::pow(1.25, 8), 1e-6);
    EXPECT_NEAR(timeat(), before, 1e-6);

    // A drag to the left moves the view later by the time it spans.
    const double start = view.viewstart();
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(600, 200));
    QMouseEvent move(QEvent::MouseMove, QPointF(500, 200), view.mapToGlobal(QPointF(500, 200)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &move);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(500, 200));
    EXPECT_NEAR(view.viewstart(), start + 100.0 / (widgetPlot.width() - 1) * view.viewlength(), 1e-6);
    EXPECT_TRUE(view.chosenmarker().isEmpty()); // a drag names nothing
}

// A click on a marker or a beat line names it with its time; a click
// between lines names nothing.
TEST_F(AnalysisPictureTest, ClickingALineSaysItsTime)
{
    AnalysisView view;
    view.resize(900, 320);
    view.show();
    view.setpicture(knownpicture());
    const QRect plot = view.plotarea(view.rect());
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
