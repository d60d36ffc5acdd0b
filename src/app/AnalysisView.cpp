#include "app/AnalysisView.h"
#include "app/ResultsModel.h"
#include "platform/window/ThemeColours.h"

#include <QPainter>
#include <QPaintEvent>

#include <algorithm>
#include <cmath>

namespace ovra::tempix {

namespace {

constexpr double FLOOR_DB = -60.0;  // the bottom of the level scale
constexpr int MIN_BEAT_SPACING = 4; // pixels; closer beats are drawn by the bar

std::string filename(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

QString clock(double seconds)
{
    const int s = int(std::lround(seconds));
    return QString::asprintf("%d:%02d", s / 60, s % 60);
}

// A tick step of at least minimum seconds from a readable series.
double tickstep(double minimum)
{
    static const double steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1200, 1800, 3600};
    for (double s : steps)
        if (s >= minimum)
            return s;
    return 3600.0 * std::ceil(minimum / 3600.0);
}

} // namespace

AnalysisView::AnalysisView(QWidget* parent)
    : QWidget(parent), loader(std::make_unique<AnalysisLoader>(this, [this](std::shared_ptr<const TrackPicture> p) {
          if (p && p->path == requested)
              setpicture(std::move(p));
      }))
{
    setObjectName("analysisView");
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName("Analysis picture");
}

AnalysisView::~AnalysisView() = default;

void AnalysisView::showtrack(const std::string& path)
{
    if (path == requested && (waiting || current))
        return;
    requested = path;
    current.reset();
    waiting = false;
    if (path.empty())
        loader->cancel();
    else
        waiting = loader->load(path);
    update();
}

void AnalysisView::setpicture(std::shared_ptr<const TrackPicture> picture)
{
    current = std::move(picture);
    if (current)
        requested = current->path;
    waiting = false;
    update();
}

bool AnalysisView::marksof(const TrackPicture& picture, Marks& m)
{
    double sr = 0.0;
    const TrackAnalysis* a = picture.shown(sr);
    if (!a || !(sr > 0.0))
        return false;
    m = Marks();
    m.duration = picture.duration > 0.0 ? picture.duration : a->frameCount / sr;
    m.firstBeat = a->firstBeat / sr;
    m.lastBeat = a->lastBeat / sr;
    // The period spans two beats (the tempo is 120 over it); the grid points
    // of the analysis fall on every other beat.
    m.beat = a->beatPeriod / sr / 2.0;
    const TrackTimes plain = computeTimes(*a, sr, false);
    const TrackTimes less = computeTimes(*a, sr, true);
    m.start = plain.startMs / 1000.0;
    m.stop = plain.stopMs / 1000.0;
    m.startLessIntro = less.startMs / 1000.0;
    m.stopLessIntro = less.stopMs / 1000.0;
    m.bpm = computeBPM(a->beatPeriod, sr);
    return m.duration > 0.0;
}

AnalysisView::Colours AnalysisView::colours() const
{
    const QPalette& p = palette();
    Colours c;
    c.background = p.color(QPalette::Base);
    c.level = mixcolours(c.background, p.color(QPalette::Highlight), 0.35);
    c.grid = mixcolours(c.background, p.color(QPalette::Text), 0.45);
    c.marker = mixcolours(p.color(QPalette::Highlight), p.color(QPalette::Text), 0.3);
    c.text = p.color(QPalette::Text);
    return c;
}

QRect AnalysisView::plotarea(const QRect& area) const
{
    const int line = fontMetrics().height();
    // Caption, two rows of marker names, the plot, the time axis.
    const int top = area.top() + 3 * line + 8;
    const int bottom = area.bottom() - line - 8;
    return QRect(QPoint(area.left() + 8, top), QPoint(area.right() - 8, std::max(top + 10, bottom)));
}

int AnalysisView::xat(double seconds, double duration, const QRect& plot)
{
    if (!(duration > 0.0))
        return plot.left();
    const double share = std::clamp(seconds / duration, 0.0, 1.0);
    return plot.left() + int(std::lround(share * (plot.width() - 1)));
}

std::string AnalysisView::caption() const
{
    if (!current) {
        if (waiting)
            return "Analyzing " + filename(requested) + "...";
        return "Select a track in the table to see its analysis.";
    }
    const std::string name = filename(current->path);
    Marks m;
    if (!marksof(*current, m)) {
        std::string why = current->fresh.failure;
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        return name + ": " + (why.empty() ? "no analysis" : why);
    }
    std::string text = name + " \u2014 " + std::to_string(m.bpm) + " BPM, beats from " +
        formattime(int32_t(std::lround(m.firstBeat * 1000))) + " to " +
        formattime(int32_t(std::lround(m.lastBeat * 1000)));
    const bool stored = current->hasRecord && current->record.hasAnalysis();
    if (stored && current->fresh.status == AnalysisStatus::ok) {
        const int fresh = computeBPM(current->fresh.analysis.beatPeriod, current->fresh.sampleRate);
        if (fresh != m.bpm)
            text += " (analyzed now: " + std::to_string(fresh) + " BPM)";
    } else if (!stored) {
        text += " (not stored in the file)";
    }
    return text;
}

void AnalysisView::render(QPainter& painter, const QRect& area) const
{
    const Colours c = colours();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(area, c.background);
    painter.setFont(font());
    const QFontMetrics fm = fontMetrics();
    const int line = fm.height();
    painter.setPen(c.text);
    const QRect captionRect(area.left() + 8, area.top() + 4, area.width() - 16, line);
    painter.drawText(captionRect, Qt::AlignLeft | Qt::AlignVCenter,
                     fm.elidedText(QString::fromStdString(caption()), Qt::ElideMiddle, captionRect.width()));

    const QRect plot = plotarea(area);
    painter.setPen(c.grid);
    painter.drawRect(plot.adjusted(-1, -1, 0, 0));
    Marks m;
    if (!current || !marksof(*current, m)) {
        painter.restore();
        return;
    }

    // The level of the whole track, in decibels from FLOOR_DB to full scale.
    const std::vector<float>& level = current->level;
    if (!level.empty() && current->blockSeconds > 0.0) {
        painter.setPen(c.level);
        for (int x = plot.left(); x <= plot.right(); ++x) {
            const double t0 = double(x - plot.left()) / plot.width() * m.duration;
            const double t1 = double(x + 1 - plot.left()) / plot.width() * m.duration;
            size_t b0 = size_t(t0 / current->blockSeconds);
            size_t b1 = std::max(b0 + 1, size_t(t1 / current->blockSeconds));
            float peak = 0.0f;
            for (size_t b = b0; b < b1 && b < level.size(); ++b)
                peak = std::max(peak, level[b]);
            if (peak <= 0.0f)
                continue;
            const double db = std::max(FLOOR_DB, 20.0 * std::log10(double(peak)));
            const int y = plot.bottom() - int(std::lround((db - FLOOR_DB) / -FLOOR_DB * (plot.height() - 1)));
            if (y < plot.bottom())
                painter.drawLine(x, y, x, plot.bottom());
        }
    }

    // The beat grid from the first to the last beat: every beat, the grid
    // points of the analysis (every other beat) stronger; by the bar of four
    // when beats would crowd.
    if (m.beat > 0.0) {
        const double pxPerBeat = m.beat / m.duration * plot.width();
        const int every = pxPerBeat >= MIN_BEAT_SPACING ? 1 : (4 * pxPerBeat >= MIN_BEAT_SPACING ? 4 : 0);
        const QColor weak = mixcolours(c.background, c.grid, 0.55);
        if (every > 0) {
            for (long k = 0;; k += every) {
                const double t = m.firstBeat + k * m.beat;
                if (t > m.lastBeat + 1e-6)
                    break;
                const int x = xat(t, m.duration, plot);
                painter.setPen(k % 2 == 0 ? c.grid : weak);
                painter.drawLine(x, plot.top(), x, plot.bottom());
            }
        }
        painter.setPen(c.grid);
        const int last = xat(m.lastBeat, m.duration, plot);
        painter.drawLine(last, plot.top(), last, plot.bottom());
    }

    // The times: solid where playback starts and stops, dashed where it does
    // with the intro and outro skipped. Names above the plot.
    auto marker = [&](double seconds, bool dashed, const QString& name, bool startSide, int row) {
        const int x = xat(seconds, m.duration, plot);
        if (dashed) {
            for (int y = plot.top(); y <= plot.bottom(); y += 8)
                painter.fillRect(QRect(x, y, 2, std::min(5, plot.bottom() - y + 1)), c.marker);
        } else {
            painter.fillRect(QRect(x, plot.top(), 2, plot.height()), c.marker);
        }
        painter.setPen(c.text);
        const int y = area.top() + 4 + line * (1 + row);
        const int w = fm.horizontalAdvance(name);
        const int left = startSide ? std::min(x, area.right() - 4 - w) : std::max(area.left() + 4, x + 2 - w);
        painter.drawText(QRect(left, y, w, line), Qt::AlignLeft | Qt::AlignVCenter, name);
    };
    marker(m.start, false, "Start", true, 0);
    marker(m.stop, false, "Stop", false, 0);
    marker(m.startLessIntro, true, "Start without intro", true, 1);
    marker(m.stopLessIntro, true, "Stop without outro", false, 1);

    // The time axis.
    painter.setPen(c.text);
    const double step = tickstep(m.duration * 70.0 / std::max(1, plot.width()));
    for (double t = 0.0; t <= m.duration + 1e-9; t += step) {
        const int x = xat(t, m.duration, plot);
        painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + 4);
        const QString label = clock(t);
        const int w = fm.horizontalAdvance(label);
        const int left = std::clamp(x - w / 2, area.left() + 2, area.right() - 2 - w);
        painter.drawText(QRect(left, plot.bottom() + 5, w, line), Qt::AlignCenter, label);
    }
    painter.restore();
}

void AnalysisView::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    render(painter, rect());
}

QSize AnalysisView::sizeHint() const { return QSize(640, 9 * fontMetrics().height()); }

QSize AnalysisView::minimumSizeHint() const { return QSize(240, 6 * fontMetrics().height()); }

} // namespace ovra::tempix
