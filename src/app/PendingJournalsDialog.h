// The journals of interrupted tag updates that are not settled: which track
// each stands for and what stops it, and forgetting one after asking.
#pragma once
#include <QDialog>

#include <functional>

class QLabel;
class QListWidget;
class QPushButton;

namespace ovra::tempix {

class PendingJournalsDialog : public QDialog {
public:
    explicit PendingJournalsDialog(QWidget* parent);

    // Reads the journal folder again; the number of journals listed.
    int reload();
    QListWidget* list() const { return entries; }
    // Forgets the selected journal once the user agrees (confirm: asked for
    // the answer; a test answers without a window).
    void forgetselected(const std::function<bool(const QString& question)>& confirm);

private:
    QListWidget* entries;
    QLabel* summary;
    QPushButton* forget;
};

} // namespace ovra::tempix
