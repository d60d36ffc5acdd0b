// The progress sheet: runs one batch on a worker thread and shows its file,
// status and progress, then the tracks of the batch in a table with their
// counts, and a picture of the analysis of the track selected there.
// Closing it cancels the batch.
#pragma once
#include "app/AnalysisView.h"
#include "app/LogWindow.h"
#include "batch/BatchDisplay.h"
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

class ProcessingWindow : public ovra::WindowEvents, public BatchDisplay {
public:
    explicit ProcessingWindow(MainWindow& owner);
    // Cancels and waits for a running batch before anything goes.
    ~ProcessingWindow() override;

    bool windowcreated() override;
    bool command(ovra::CommandID command) override;

    // Cancels a running batch and waits for its worker (used on quit).
    void stopbatch();
    bool running() { return batch.running(); }
    // True from a close request until the sheet has gone.
    bool closing() const { return closeRequested.load(); }
    BatchProcessor& processor() { return batch; }

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

    // BatchDisplay: called on the worker thread, posted to the main thread.
    void setFileLine(const char* text) override;
    void setStatusLine(const char* text) override;
    void setProgressRange(int count) override;
    void setProgressValue(int value) override;
    void batchEnded(const char* message, bool errors) override;
    void logEntry(const char* text) override;
    void trackFinished(const TrackResult& result) override;

private:
    void close();
    void finishclosing();
    // Runs work on the main thread unless another batch has begun meanwhile.
    void onmainthread(std::function<void()> work);
    void takeentry(const std::string& text);
    void takeresult(const TrackResult& result);
    void showcounts();
    void explainending(const std::string& message);
    void selectionchanged();
    void copyrows();
    void asksave();

    MainWindow& mainWindow;
    BatchProcessor batch;
    std::atomic<bool> closeRequested{false};
    QTimer waitTimer;
    // Main-thread state of the batch shown.
    std::unique_ptr<ResultsModel> model;
    QPointer<QSortFilterProxyModel> proxy;
    QPointer<AnalysisView> view;
    QPointer<QFileDialog> saveDialog;
    std::atomic<unsigned> generation{0};
    BatchSettings shownSettings;
    std::string libraryPath;
    std::string runLog;
    bool inTrack = false;
    std::vector<std::string> batchLines; // entries outside any track, start line excepted
    LogWindow logWindow;
};

} // namespace ovra::tempix
