// The editor of the library's location mappings: one row per prefix of the
// library's locations and the folder that holds those files here. While the
// rows are edited it counts how many of the library's tracks they find; when
// no row covers the prefix most missing tracks share, it opens with a row for
// it, as a path.
#pragma once
#include "app/LocationCount.h"

#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QMessageBox;
class QTableWidget;

namespace ovra::tempix {

class LocationMapDialog : public QDialog {
public:
    // maps: "PREFIX=FOLDER" each; libraryPath: the library file whose
    // tracks are counted (none when empty).
    LocationMapDialog(QWidget* parent, const std::vector<std::string>& maps,
                      const std::string& libraryPath = std::string());

    // The rows as "PREFIX=FOLDER", once accepted.
    const std::vector<std::string>& maps() const { return result; }
    QTableWidget* table() const { return rows; }
    // Why the rows were not taken, in words; empty while they were not refused.
    QString troubletext() const;

    // How many tracks the rows find ("6 of 8 tracks found"), or that the
    // count is under way.
    QString foundtext() const;
    bool counting() const { return countPending; }

    // Adds a row (empty cells for the user to fill).
    void addrow(const QString& prefix, const QString& folder);
    // Takes the rows when every one can be used; else says which cannot.
    void accept() override;

private:
    std::vector<std::string> usablerows() const;
    void recount();
    void counted(const LocationTally& tally);

    QTableWidget* rows;
    QLabel* found;
    QLabel* trouble;
    std::vector<std::string> result;
    std::string library;
    bool suggested = false; // the first count has been seen
    bool countPending = false;
    QTimer typing;                          // a count starts once typing pauses
    std::unique_ptr<LocationCount> counter; // last: waits for its worker first
};

// When a batch's log says that none of the library's tracks was found: a
// notice that names the prefix most of them share, as a path, and the
// folder the mappings led to, with a button that calls openmaps. Null when
// the log says no such thing.
QMessageBox* nothingfoundnotice(QWidget* parent, const std::string& batchLog, std::function<void()> openmaps);

} // namespace ovra::tempix
