#include "app/ResultsModel.h"
#include "batch/TrackWords.h"

#include <cctype>
#include "platform/window/ThemeColours.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QStyle>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace ovra::tempix {

namespace {

// Errors first when sorted by outcome.
int outcomeorder(TrackOutcome outcome)
{
    switch (outcome) {
    case TrackOutcome::failed:
        return 0;
    case TrackOutcome::skipped:
        return 1;
    case TrackOutcome::updated:
        return 2;
    case TrackOutcome::wouldUpdate:
        return 2;
    case TrackOutcome::upToDate:
        return 3;
    }
    return 4;
}

std::string filename(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The pipeline's lines for a track that went through.
std::string csvfield(const std::string& text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string seconds(int32_t milliseconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%d.%03d", milliseconds < 0 ? "-" : "", std::abs(milliseconds) / 1000,
                  std::abs(milliseconds) % 1000);
    return text;
}

// "120", or "118 → 120" where the run changes it.
QString oldnew(bool hadOld, const QString& old, bool hasNew, const QString& now)
{
    if (!hasNew)
        return hadOld ? old : QString();
    return hadOld && old != now ? old + QString::fromUtf8(" \u2192 ") + now : now;
}

QString percent(int value) { return QString::asprintf("%+d%%", value); }

// A stop time of 0 in the library is no stop time.
bool hasstop(const TrackValues& v) { return v.hasTimes && v.times.stopMs != 0; }

} // namespace

std::string formattime(int32_t milliseconds)
{
    const int32_t ms = std::abs(milliseconds);
    char text[32];
    std::snprintf(text, sizeof text, "%s%d:%02d.%03d", milliseconds < 0 ? "-" : "", ms / 60000, (ms / 1000) % 60,
                  ms % 1000);
    return text;
}

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

void ResultsModel::clear()
{
    beginResetModel();
    rows.clear();
    endResetModel();
}

void ResultsModel::add(const TrackResult& result)
{
    const int row = int(rows.size());
    beginInsertRows(QModelIndex(), row, row);
    rows.push_back(result);
    endInsertRows();
}

void ResultsModel::add(std::vector<TrackResult>& results)
{
    if (results.empty())
        return;
    const int row = int(rows.size());
    beginInsertRows(QModelIndex(), row, row + int(results.size()) - 1);
    for (TrackResult& r : results)
        rows.push_back(std::move(r));
    endInsertRows();
    results.clear();
}

ResultsModel::Counts ResultsModel::counts() const
{
    Counts c;
    for (const TrackResult& r : rows)
        c.add(r.outcome);
    return c;
}

std::string ResultsModel::outcometext(TrackOutcome outcome)
{
    std::string words = outcomewords(outcome);
    if (!words.empty())
        words[0] = char(std::toupper(static_cast<unsigned char>(words[0])));
    return words;
}

std::string ResultsModel::outcometext(const TrackResult& r)
{
    if (r.listed && r.outcome != TrackOutcome::failed)
        return r.hasRecord ? "Analysed" : "Not analysed";
    return outcometext(r.outcome);
}

std::string ResultsModel::note(const TrackResult& r)
{
    if (r.listed && r.outcome != TrackOutcome::failed && r.reason.empty())
        return r.hasRecord ? "A valid analysis is stored: a run reuses it." : "A run analyses the track.";
    return trackproblemwords(r);
}

bool ResultsModel::hasnames() const
{
    for (const TrackResult& r : rows)
        if (!r.name.empty() || !r.artist.empty())
            return true;
    return false;
}

std::string ResultsModel::listingtext() const
{
    int stored = 0, failed = 0;
    for (const TrackResult& r : rows) {
        if (r.outcome == TrackOutcome::failed)
            ++failed;
        else if (r.hasRecord)
            ++stored;
    }
    const int total = int(rows.size());
    const int fresh = total - stored - failed;
    char line[200];
    std::snprintf(line, sizeof line, "%d %s: %d with a stored analysis, %d to analyse, %d %s", total,
                  total == 1 ? "track" : "tracks", stored, fresh, failed, failed == 1 ? "error" : "errors");
    return line;
}

std::string ResultsModel::csv(const std::vector<int>& rowsWanted) const
{
    std::string out = "File,Name,Artist,Outcome,BPM,Start (s),Stop (s),Volume (%),Note,"
                      "Previous BPM,Previous start (s),Previous stop (s),Previous volume (%)\n";
    auto values = [](const TrackValues& v) {
        std::string text = (v.hasBpm ? std::to_string(v.bpm) : "") + ",";
        text += (v.hasTimes ? seconds(v.times.startMs) : "") + ",";
        text += (hasstop(v) ? seconds(v.times.stopMs) : "") + ",";
        return text + (v.hasVolume ? std::to_string(v.volume.percent) : "");
    };
    auto line = [&](const TrackResult& r) {
        out += csvfield(r.path) + "," + csvfield(r.name) + "," + csvfield(r.artist) + "," + outcometext(r) + ",";
        out += values(r.after) + "," + csvfield(note(r)) + ",";
        out += (r.after.hasBpm || r.after.hasTimes || r.after.hasVolume || r.listed ? values(r.before) : ",,,") + "\n";
    };
    if (rowsWanted.empty()) {
        for (const TrackResult& r : rows)
            line(r);
    } else {
        for (int row : rowsWanted)
            if (row >= 0 && size_t(row) < rows.size())
                line(rows[size_t(row)]);
    }
    return out;
}

int ResultsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows.size()); }

int ResultsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : COLUMNS; }

QVariant ResultsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows.size()))
        return QVariant();
    const TrackResult& r = rows[size_t(index.row())];
    const int column = index.column();
    const bool failed = r.outcome == TrackOutcome::failed;
    if (role == OUTCOME_ROLE)
        return int(r.outcome);
    if (role == Qt::DisplayRole || role == SORT_ROLE) {
        const bool sorting = role == SORT_ROLE;
        // A listed track shows what it holds; a processed one old -> new.
        const TrackValues& b = r.before;
        const TrackValues& a = r.after;
        const bool old = r.listed || a.hasBpm || a.hasTimes || a.hasVolume;
        switch (column) {
        case FILE:
            return QString::fromStdString(filename(r.path));
        case NAME:
            return QString::fromStdString(r.name);
        case ARTIST:
            return QString::fromStdString(r.artist);
        case OUTCOME:
            return sorting ? QVariant(outcomeorder(r.outcome)) : QVariant(QString::fromStdString(outcometext(r)));
        case BPM:
            if (sorting)
                return a.hasBpm ? a.bpm : old && b.hasBpm ? b.bpm : -1;
            return oldnew(old && b.hasBpm && b.bpm != 0, QString::number(b.bpm), a.hasBpm, QString::number(a.bpm));
        case START: {
            if (sorting)
                return a.hasTimes ? a.times.startMs : old && b.hasTimes ? b.times.startMs : INT32_MIN;
            const QString before = QString::fromStdString(formattime(b.times.startMs));
            return oldnew(old && b.hasTimes, before, a.hasTimes, QString::fromStdString(formattime(a.times.startMs)));
        }
        case STOP: {
            if (sorting)
                return a.hasTimes ? a.times.stopMs : old && hasstop(b) ? b.times.stopMs : INT32_MIN;
            const QString before = QString::fromStdString(formattime(b.times.stopMs));
            return oldnew(old && hasstop(b), before, a.hasTimes, QString::fromStdString(formattime(a.times.stopMs)));
        }
        case VOLUME:
            if (sorting)
                return a.hasVolume ? a.volume.percent : old && b.hasVolume ? b.volume.percent : INT32_MIN;
            return oldnew(old && b.hasVolume, percent(b.volume.percent), a.hasVolume, percent(a.volume.percent));
        case NOTE:
            return QString::fromStdString(note(r));
        }
        return QVariant();
    }
    if (role == Qt::ToolTipRole) {
        // The path, then everything the log says about the track.
        std::string tip = r.path;
        if (!r.entries.empty())
            tip += "\n" + r.entries.substr(0, r.entries.size() - (r.entries.back() == '\n' ? 1 : 0));
        return QString::fromStdString(tip);
    }
    if (role == Qt::TextAlignmentRole && column >= BPM && column <= VOLUME)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ForegroundRole && failed && (column == OUTCOME || column == NOTE))
        return errortextcolour(QApplication::palette());
    if (role == Qt::FontRole && failed && column == OUTCOME) {
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    if (role == Qt::DecorationRole && column == OUTCOME && (failed || r.outcome == TrackOutcome::skipped))
        return QApplication::style()->standardIcon(failed ? QStyle::SP_MessageBoxCritical
                                                          : QStyle::SP_MessageBoxInformation);
    return QVariant();
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char* const names[COLUMNS] = {"File",  "Name", "Artist", "Outcome", "BPM",
                                               "Start", "Stop", "Volume", "Note"};
    return section >= 0 && section < COLUMNS ? QVariant(names[section]) : QVariant();
}

} // namespace ovra::tempix
