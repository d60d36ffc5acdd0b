// The tracks of one batch as a table: file, the library's name and artist,
// outcome, BPM, start, stop, volume (each as old -> new where it changes) and
// a note, with the counts of each outcome and a CSV form. A listing's rows
// show what each track holds now and whether its analysis is stored.
#pragma once
#include "batch/TrackResult.h"

#include <QAbstractTableModel>

#include <string>
#include <vector>

namespace ovra::tempix {

class ResultsModel : public QAbstractTableModel {
public:
    enum Column { FILE, NAME, ARTIST, OUTCOME, BPM, START, STOP, VOLUME, NOTE, COLUMNS };
    // What a column sorts by: numbers as numbers, errors before the rest.
    static constexpr int SORT_ROLE = Qt::UserRole;
    static constexpr int OUTCOME_ROLE = Qt::UserRole + 1;

    using Counts = TrackCounts;

    explicit ResultsModel(QObject* parent = nullptr);

    void clear();
    void add(const TrackResult& result);
    void add(std::vector<TrackResult>& results); // moved in, as one insertion
    const TrackResult& result(int row) const { return rows[size_t(row)]; }
    Counts counts() const;
    // Whether any row comes from the library with a name or an artist.
    bool hasnames() const;
    // A listing's line: "13 tracks: 5 with a stored analysis, 8 to analyse, 0 errors".
    std::string listingtext() const;

    static std::string countstext(const Counts& counts) { return counts.text(); }
    // "Updated", "Up to date", ...
    static std::string outcometext(TrackOutcome outcome);
    // A row's outcome: a listed track's says whether its analysis is stored.
    static std::string outcometext(const TrackResult& result);
    // Why the track did not go through, in words (TrackWords); for a listed
    // track, what a run would do with it; empty for a track that went through.
    static std::string note(const TrackResult& result);
    // The given rows (all when empty) as CSV with a header line; times in
    // seconds, volume in percent, fields quoted where needed.
    std::string csv(const std::vector<int>& rowsWanted = {}) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<TrackResult> rows;
};

// m:ss.sss of milliseconds, with a sign when negative.
std::string formattime(int32_t milliseconds);

} // namespace ovra::tempix
