// The tracks of one batch as a table: file, outcome, BPM, start, stop,
// volume and a note, with the counts of each outcome and a CSV form.
#pragma once
#include "batch/TrackResult.h"

#include <QAbstractTableModel>

#include <string>
#include <vector>

namespace ovra::tempix {

class ResultsModel : public QAbstractTableModel {
public:
    enum Column { FILE, OUTCOME, BPM, START, STOP, VOLUME, NOTE, COLUMNS };
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

    static std::string countstext(const Counts& counts) { return counts.text(); }
    // "Updated", "Up to date", ...
    static std::string outcometext(TrackOutcome outcome);
    // The line of the track's log entries that says why it did not go through,
    // empty for a track that did.
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
