#include "app/ResultsModel.h"

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

std::string ResultsModel::note(const TrackResult& result) { return result.reason; }

std::string ResultsModel::csv(const std::vector<int>& rowsWanted) const
{
    std::string out = "File,Outcome,BPM,Start (s),Stop (s),Volume (%),Note\n";
    auto line = [&](const TrackResult& r) {
        out += csvfield(r.path) + "," + outcometext(r.outcome) + ",";
        out += (r.after.hasBpm ? std::to_string(r.after.bpm) : "") + ",";
        out += (r.after.hasTimes ? seconds(r.after.times.startMs) : "") + ",";
        out += (r.after.hasTimes ? seconds(r.after.times.stopMs) : "") + ",";
        out += (r.after.hasVolume ? std::to_string(r.after.volume.percent) : "") + ",";
        out += csvfield(note(r)) + "\n";
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
        switch (column) {
        case FILE:
            return QString::fromStdString(sorting ? r.path : filename(r.path));
        case OUTCOME:
            return sorting ? QVariant(outcomeorder(r.outcome))
                           : QVariant(QString::fromStdString(outcometext(r.outcome)));
        case BPM:
            if (!r.after.hasBpm)
                return sorting ? QVariant(-1) : QVariant();
            return sorting ? QVariant(r.after.bpm) : QVariant(QString::number(r.after.bpm));
        case START:
        case STOP: {
            if (!r.after.hasTimes)
                return sorting ? QVariant(INT32_MIN) : QVariant();
            const int32_t ms = column == START ? r.after.times.startMs : r.after.times.stopMs;
            return sorting ? QVariant(ms) : QVariant(QString::fromStdString(formattime(ms)));
        }
        case VOLUME:
            if (!r.after.hasVolume)
                return sorting ? QVariant(INT32_MIN) : QVariant();
            return sorting ? QVariant(r.after.volume.percent)
                           : QVariant(QString::asprintf("%+d%%", r.after.volume.percent));
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
    static const char* const names[COLUMNS] = {"File", "Outcome", "BPM", "Start", "Stop", "Volume", "Note"};
    return section >= 0 && section < COLUMNS ? QVariant(names[section]) : QVariant();
}

} // namespace ovra::tempix
