// The editor of the library's location mappings: one row per prefix of the
// library's locations and the folder that holds those files here.
#pragma once
#include <QDialog>

#include <string>
#include <vector>

class QLabel;
class QTableWidget;

namespace ovra::tempix {

class LocationMapDialog : public QDialog {
public:
    // maps: "PREFIX=FOLDER" each.
    LocationMapDialog(QWidget* parent, const std::vector<std::string>& maps);

    // The rows as "PREFIX=FOLDER", once accepted.
    const std::vector<std::string>& maps() const { return result; }
    QTableWidget* table() const { return rows; }
    // Why the rows were not taken, in words; empty while they were not refused.
    QString troubletext() const;

    // Adds a row (empty cells for the user to fill).
    void addrow(const QString& prefix, const QString& folder);
    // Takes the rows when every one can be used; else says which cannot.
    void accept() override;

private:
    QTableWidget* rows;
    QLabel* trouble;
    std::vector<std::string> result;
};

} // namespace ovra::tempix
