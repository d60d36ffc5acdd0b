#include "app/AnalysisView.h"
#include "batch/TrackWords.h"
#include "app/ResultsModel.h"
#include "platform/window/ThemeColours.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace ovra::tempix {

namespace {

constexpr double FLOOR_DB = -60.0;  // the bottom of the level scale
constexpr int MIN_BEAT_SPACING = 4; // pixels; closer beats are drawn by the bar, 4 bars...
constexpr double MIN_VIEW_SECONDS = 2.0;
constexpr int NEAR_PIXELS = 4; // how close a click must be to a line to name it

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

QString exacttime(double seconds) { return QString::fromStdString(formattime(int32_t(std::lround(seconds * 1000)))); }

// A tick step of at least minimum seconds from a readable series.
double tickstep(double minimum)
{
    static const double steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1200, 1800, 3600};
    for (double s : steps)
        if (s >= minimum)
            return s;
    return 3600.0 * std::ceil(minimum / 3600.0);
}

// What a line every `beats` beats stands for: "beat", "bar", "4 bars"...
QString unitname(long beats)
{
    if (beats == 1)
        return "beat";
    if (beats == 4)
        return "bar";
    return QString("%1 bars").arg(beats / 4);
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
    setFocusPolicy(Qt::StrongFocus);
    setToolTip("Wheel or + and - zoom, a drag or the arrow keys scroll, 0 shows the whole track; click a line for "
               "its time.");
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
    spanStart = spanLength = 0.0;
    chosen.clear();
    update();
}

void AnalysisView::setpicture(std::shared_ptr<const TrackPicture> picture)
{
    current = std::move(picture);
    if (current)
        requested = current->path;
    waiting = false;
    spanStart = spanLength = 0.0;
    chosen.clear();
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
    // The period spans two beats (the tempo is 120 over it).
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

double AnalysisView::viewlength() const
{
    Marks m;
    if (!current || !marksof(*current, m))
        return 0.0;
    if (!(spanLength > 0.0) || spanLength >= m.duration)
        return m.duration;
    return spanLength;
}

double AnalysisView::viewstart() const
{
    Marks m;
    if (!current || !marksof(*current, m))
        return 0.0;
    return std::clamp(spanStart, 0.0, m.duration - viewlength());
}

void AnalysisView::showspan(double start, double length)
{
    Marks m;
    if (!current || !marksof(*current, m) || !(length > 0.0) || length >= m.duration) {
        spanStart = spanLength = 0.0;
    } else {
        spanLength = std::max(length, std::min(MIN_VIEW_SECONDS, m.duration));
        spanStart = std::clamp(start, 0.0, m.duration - spanLength);
    }
    update();
}

void AnalysisView::zoom(double factor, double anchor)
{
    const double length = viewlength();
    if (!(length > 0.0) || !(factor > 0.0))
        return;
    const double start = viewstart();
    const double share = std::clamp((anchor - start) / length, 0.0, 1.0);
    const double next = length / factor;
    showspan(anchor - share * next, next);
}

void AnalysisView::scroll(double seconds)
{
    if (spanLength > 0.0)
        showspan(viewstart() + seconds, spanLength);
}

AnalysisView::Colours AnalysisView::colours() const
{
    const QPalette& p = palette();
    Colours c;
    c.background = p.color(QPalette::Base);
    c.level = mixcolours(c.background, p.color(QPalette::Highlight), 0.35);
    c.grid = mixcolours(c.background, p.color(QPalette::Text), 0.45);
    c.weakGrid = mixcolours(c.background, c.grid, 0.55);
    c.marker = mixcolours(p.color(QPalette::Highlight), p.color(QPalette::Text), 0.3);
    c.text = p.color(QPalette::Text);
    return c;
}

QRect AnalysisView::plotarea(const QRect& area) const
{
    const QFontMetrics fm = fontMetrics();
    const int line = fm.height();
    // Caption and two rows of marker names above; the decibel labels to the
    // left; the time axis and the legend below.
    const int top = area.top() + 3 * line + 8;
    const int bottom = area.bottom() - 2 * line - 12;
    const int left = area.left() + fm.horizontalAdvance("-60 dB") + 12;
    return QRect(QPoint(left, top), QPoint(std::max(left + 10, area.right() - 8), std::max(top + 10, bottom)));
}

int AnalysisView::xat(double seconds, const QRect& plot) const
{
    const double length = viewlength();
    if (!(length > 0.0))
        return plot.left();
    const double share = (seconds - viewstart()) / length;
    if (share < -1e-9 || share > 1.0 + 1e-9)
        return share < 0 ? plot.left() - 1000 : plot.right() + 1000;
    return plot.left() + int(std::lround(std::clamp(share, 0.0, 1.0) * (plot.width() - 1)));
}

AnalysisView::Grid AnalysisView::gridfor(double beatSeconds, double viewSeconds, int plotWidth)
{
    Grid g;
    if (!(beatSeconds > 0.0) || !(viewSeconds > 0.0) || plotWidth <= 0)
        return g;
    const double pxPerBeat = beatSeconds / viewSeconds * plotWidth;
    g.beats = 1;
    while (g.beats * pxPerBeat < MIN_BEAT_SPACING && g.beats < (1 << 20))
        g.beats *= 4;
    g.every = "every " + unitname(g.beats);
    g.weak = unitname(g.beats);
    g.strong = unitname(4L * g.beats);
    return g;
}

AnalysisView::Grid AnalysisView::grid(const QRect& area) const
{
    Marks m;
    if (!current || !marksof(*current, m))
        return Grid();
    return gridfor(m.beat, viewlength(), plotarea(area).width());
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
        return name + ": " + nopicturewords(*current);
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

std::vector<AnalysisView::Named> AnalysisView::namedmarks(const Marks& m) const
{
    return {{"Start", m.start},
            {"Stop", m.stop},
            {"Start without intro", m.startLessIntro},
            {"Stop without outro", m.stopLessIntro},
            {"First beat", m.firstBeat},
            {"Last beat", m.lastBeat}};
}

QString AnalysisView::markerat(const QPoint& point, const QRect& area, double* seconds) const
{
    Marks m;
    const QRect plot = plotarea(area);
    if (!current || !marksof(*current, m) || point.x() < plot.left() - NEAR_PIXELS ||
        point.x() > plot.right() + NEAR_PIXELS || point.y() < area.top() || point.y() > plot.bottom())
        return QString();
    // The named markers first; the nearest of them.
    int best = NEAR_PIXELS + 1;
    QString found;
    for (const Named& n : namedmarks(m)) {
        const int d = std::abs(xat(n.seconds, plot) - point.x());
        if (d < best) {
            best = d;
            found = n.name + " " + exacttime(n.seconds);
            if (seconds)
                *seconds = n.seconds;
        }
    }
    if (!found.isEmpty())
        return found;
    // Else the nearest beat line drawn.
    const Grid g = gridfor(m.beat, viewlength(), plot.width());
    if (g.beats == 0)
        return QString();
    const double length = viewlength();
    const double t = viewstart() + double(point.x() - plot.left()) / std::max(1, plot.width() - 1) * length;
    const double step = m.beat * g.beats;
    const long k = long(std::lround((t - m.firstBeat) / step)) * g.beats;
    const double at = m.firstBeat + k * m.beat;
    if (k < 0 || at > m.lastBeat + 1e-6 || std::abs(xat(at, plot) - point.x()) > NEAR_PIXELS)
        return QString();
    if (seconds)
        *seconds = at;
    return QString("Beat %1 %2").arg(k + 1).arg(exacttime(at));
}

void AnalysisView::drawlegend(QPainter& painter, const QRect& row, const Grid& g) const
{
    const Colours c = colours();
    const QFontMetrics fm = fontMetrics();
    int x = row.left();
    auto text = [&](const QString& words) {
        const int w = fm.horizontalAdvance(words);
        if (x + w <= row.right())
            painter.setPen(c.text), painter.drawText(QRect(x, row.top(), w, row.height()), Qt::AlignVCenter, words);
        x += w + 14;
    };
    auto swatch = [&](const QColor& colour, bool dashed, int width) {
        if (x + 14 > row.right())
            return;
        const int top = row.top() + 2, bottom = row.bottom() - 2;
        if (dashed) {
            for (int y = top; y <= bottom; y += 4)
                painter.fillRect(QRect(x + 6, y, width, std::min(2, bottom - y + 1)), colour);
        } else {
            painter.fillRect(QRect(x + 6, top, width, bottom - top + 1), colour);
        }
        x += width + 14;
    };
    if (g.beats > 0) {
        text("Beat grid " + g.every + ":");
        swatch(c.grid, false, 1);
        text(g.strong);
        swatch(c.weakGrid, false, 1);
        text(g.weak);
    }
    swatch(c.marker, false, 2);
    text("start, stop");
    swatch(c.marker, true, 2);
    text("without intro, outro");
    swatch(c.level, false, 8);
    text("level");
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
    const double start = viewstart();
    const double length = viewlength();
    const double end = start + length;

    // The decibel scale, from FLOOR_DB to full scale, labelled where there is room.
    auto yof = [&](double db) {
        return plot.bottom() - int(std::lround((db - FLOOR_DB) / -FLOOR_DB * (plot.height() - 1)));
    };
    const int dbStep = plot.height() >= 6 * (line + 2) ? 10 : plot.height() >= 3 * (line + 2) ? 20 : 60;
    painter.setPen(c.text);
    for (int db = 0; db >= int(FLOOR_DB); db -= dbStep) {
        const int y = yof(db);
        painter.drawLine(plot.left() - 5, y, plot.left() - 2, y);
        const QRect label(area.left() + 2, y - line / 2, plot.left() - 8 - area.left(), line);
        painter.drawText(label, Qt::AlignRight | Qt::AlignVCenter, QString("%1 dB").arg(db));
    }

    // The level of the part in view: the loudest block under each column.
    const std::vector<float>& level = current->level;
    if (!level.empty() && current->blockSeconds > 0.0) {
        painter.setPen(c.level);
        for (int x = plot.left(); x <= plot.right(); ++x) {
            const double t0 = start + double(x - plot.left()) / plot.width() * length;
            const double t1 = start + double(x + 1 - plot.left()) / plot.width() * length;
            size_t b0 = size_t(t0 / current->blockSeconds);
            size_t b1 = std::max(b0 + 1, size_t(t1 / current->blockSeconds));
            float peak = 0.0f;
            for (size_t b = b0; b < b1 && b < level.size(); ++b)
                peak = std::max(peak, level[b]);
            if (peak <= 0.0f)
                continue;
            const int y = yof(std::max(FLOOR_DB, 20.0 * std::log10(double(peak))));
            if (y < plot.bottom())
                painter.drawLine(x, y, x, plot.bottom());
        }
    }

    // The beat grid from the first to the last beat, counted in bars of four
    // from the first beat: a line every beat, bar, 4 bars... whichever keeps
    // the lines apart; every fourth line strong.
    const Grid g = gridfor(m.beat, length, plot.width());
    if (g.beats > 0) {
        const long step = g.beats;
        long k = std::max(0L, long(std::ceil((start - m.firstBeat) / m.beat - 1e-9)));
        k = (k + step - 1) / step * step;
        for (;; k += step) {
            const double t = m.firstBeat + k * m.beat;
            if (t > m.lastBeat + 1e-6 || t > end + 1e-9)
                break;
            const int x = xat(t, plot);
            painter.setPen(k % (4 * step) == 0 ? c.grid : c.weakGrid);
            painter.drawLine(x, plot.top(), x, plot.bottom());
        }
        if (m.lastBeat >= start && m.lastBeat <= end) {
            painter.setPen(c.grid);
            const int last = xat(m.lastBeat, plot);
            painter.drawLine(last, plot.top(), last, plot.bottom());
        }
    }

    // The times: solid where playback starts and stops, dashed where it does
    // with the intro and outro skipped. Names above the plot.
    auto marker = [&](double seconds, bool dashed, const QString& name, bool startSide, int row) {
        if (seconds < start || seconds > end)
            return;
        const int x = xat(seconds, plot);
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

    // The time axis of the part in view.
    painter.setPen(c.text);
    const double tick = tickstep(length * 70.0 / std::max(1, plot.width()));
    for (double t = std::ceil(start / tick - 1e-9) * tick; t <= end + 1e-9; t += tick) {
        const int x = xat(t, plot);
        painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + 4);
        const QString label = clock(t);
        const int w = fm.horizontalAdvance(label);
        const int left = std::clamp(x - w / 2, area.left() + 2, area.right() - 2 - w);
        painter.drawText(QRect(left, plot.bottom() + 5, w, line), Qt::AlignCenter, label);
    }

    drawlegend(painter, QRect(plot.left(), plot.bottom() + line + 8, plot.width(), line), g);

    // The time of the line last clicked, in a box at the top of the plot.
    if (!chosen.isEmpty() && chosenAt >= start && chosenAt <= end) {
        const int x = xat(chosenAt, plot);
        const int w = fm.horizontalAdvance(chosen) + 8;
        const QRect box(std::clamp(x + 4, plot.left(), plot.right() - w), plot.top() + 2, w, line + 2);
        painter.fillRect(box, c.background);
        painter.setPen(c.text);
        painter.drawRect(box.adjusted(0, 0, -1, -1));
        painter.drawText(box, Qt::AlignCenter, chosen);
    }
    painter.restore();
}

void AnalysisView::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    render(painter, rect());
}

void AnalysisView::wheelEvent(QWheelEvent* event)
{
    const QRect plot = plotarea(rect());
    const double length = viewlength();
    if (!(length > 0.0) || plot.width() <= 1)
        return;
    const QPoint angle = event->angleDelta();
    if (angle.x() != 0 || (event->modifiers() & Qt::ShiftModifier)) {
        const int steps = angle.x() != 0 ? angle.x() : angle.y();
        scroll(-steps / 120.0 * length / 8.0);
    } else {
        const double anchor = viewstart() +
            std::clamp(event->position().x() - plot.left(), 0.0, double(plot.width() - 1)) / (plot.width() - 1) *
                length;
        zoom(std::pow(1.25, angle.y() / 120.0), anchor);
    }
    event->accept();
}

void AnalysisView::keyPressEvent(QKeyEvent* event)
{
    const double length = viewlength();
    const double middle = viewstart() + length / 2.0;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom(2.0, middle);
        break;
    case Qt::Key_Minus:
        zoom(0.5, middle);
        break;
    case Qt::Key_0:
        showall();
        break;
    case Qt::Key_Left:
        scroll(-length / 8.0);
        break;
    case Qt::Key_Right:
        scroll(length / 8.0);
        break;
    case Qt::Key_Home:
        scroll(-viewstart());
        break;
    case Qt::Key_End:
        scroll(current ? current->duration : 0.0);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void AnalysisView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragFrom = int(event->position().x());
    dragStart = viewstart();
    dragged = false;
    event->accept();
}

void AnalysisView::mouseMoveEvent(QMouseEvent* event)
{
    if (dragFrom < 0)
        return;
    const int dx = int(event->position().x()) - dragFrom;
    if (std::abs(dx) > 3)
        dragged = true;
    const QRect plot = plotarea(rect());
    if (dragged && spanLength > 0.0 && plot.width() > 1)
        showspan(dragStart - double(dx) / (plot.width() - 1) * viewlength(), spanLength);
}

void AnalysisView::mouseReleaseEvent(QMouseEvent* event)
{
    if (dragFrom >= 0 && !dragged) {
        const QPoint at = event->position().toPoint();
        chosen = markerat(at, rect(), &chosenAt);
        update();
    }
    dragFrom = -1;
}

QSize AnalysisView::sizeHint() const { return QSize(640, 11 * fontMetrics().height()); }

QSize AnalysisView::minimumSizeHint() const { return QSize(240, 8 * fontMetrics().height()); }

} // namespace ovra::tempix
