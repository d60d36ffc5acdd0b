// The progress sheet: runs one batch on a worker thread and shows its file,
// status and progress, then the tracks of the batch in a table with their
// counts, and a picture of the analysis of the track selected there.
// Cancel (or the close box) while the batch runs stops it and keeps the rows
// of the tracks that finished; once it has stopped, they close the sheet.
// A preview runs a listing instead: each track read, none decoded or written.
#pragma once
#include "app/AnalysisView.h"
#include "app/LogWindow.h"
#include "batch/DisplayCoalescer.h"
#include "batch/BatchProcessor.h"
#include "platform/window/WindowEvents.h"

#include <QFileDialog>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTableView;

namespace ovra::tempix {

class MainWindow;
class ResultsModel;

class ProcessingWindow : public ovra::WindowEvents {
public:
    explicit ProcessingWindow(MainWindow& owner);
    // Cancels and waits for a running batch before anything goes.
    ~ProcessingWindow() override;

    // The next batch is a preview: a dry listing of the source's tracks.
    void setpreview(bool on) { preview = on; }
    bool previewing() const { return preview; }

    bool windowcreated() override;
    bool command(ovra::CommandID command) override;

    // Cancels a running batch and waits for its worker (used on quit).
    void stopbatch();
    bool running() { return batch.running(); }
    // True from a close request until the sheet has gone.
    bool closing() const { return closeRequested.load(); }
    BatchProcessor& processor() { return batch; }
    // The batch has ended, or stopped after a cancel: nothing is left to wait for.
    bool ended() const { return endShown; }
    // Cancel asked, the sheet still up.
    bool cancelling() const { return cancelRequested; }

    // The tracks of this batch, as the table lists them (by the model's rows).
    ResultsModel& results() { return *model; }
    QTableView* table();
    AnalysisView* analysisview() { return view.data(); }
    // The log entries of this batch, from its start line on.
    const std::string& batchlog() const { return runLog; }
    LogWindow& logwindow() { return logWindow; }
    // The rows shown, in the table's order, as model rows.
    std::vector<int> shownrows();
    // Writes the table as CSV; false, and why in error, when it cannot.
    bool savecsv(const std::string& path, std::string& error);
    QFileDialog* savedialog() const { return saveDialog.data(); }

    // Shows what the batch did since the last look (the display timer's).
    void showchanges();
    // Keeps the table's column widths and the sheet's size in the settings.
    void savelayout();

private:
    void close();
    void cancel();
    void showcancelled();
    void restorelayout();
    void finishclosing();
    // An entry of the log; rows gets the row of a library entry passed over.
    void takeentry(const std::string& text, std::vector<TrackResult>& rows);
    void showcounts();
    void explainending(const std::string& message);
    void selectionchanged();
    void copyrows();
    void asksave();

    MainWindow& mainWindow;
    DisplayCoalescer shown; // what the batch shows, until the display timer takes it
    BatchProcessor batch;
    std::atomic<bool> closeRequested{false};
    bool cancelRequested = false;
    bool endShown = false;
    bool preview = false;
    bool layoutRestored = false; // column widths from the settings: never resized to fit
    QTimer waitTimer;
    QTimer displayTimer;
    // Main-thread state of the batch shown.
    std::unique_ptr<ResultsModel> model;
    QPointer<QSortFilterProxyModel> proxy;
    QPointer<AnalysisView> view;
    QPointer<QFileDialog> saveDialog;
    BatchSettings shownSettings;
    std::string libraryPath;
    std::string runLog;
    bool inTrack = false;
    std::vector<std::string> batchLines; // entries outside any track, start line excepted
    LogWindow logWindow;
};

} // namespace ovra::tempix
