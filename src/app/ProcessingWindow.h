// The progress sheet: runs one batch on a worker thread and shows its file,
// status and progress; closing it cancels the batch.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/BatchProcessor.h"
#include "platform/window/WindowEvents.h"

#include <QTimer>

#include <atomic>

namespace ovra::tempix {

class MainWindow;

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

    // BatchDisplay: called on the worker thread, posted to the main thread.
    void setFileLine(const char* text) override;
    void setStatusLine(const char* text) override;
    void setProgressRange(int count) override;
    void setProgressValue(int value) override;
    void batchEnded(const char* message, bool errors) override;
    void logEntry(const char* text) override;

private:
    void close();
    void finishclosing();

    MainWindow& mainWindow;
    BatchProcessor batch;
    std::atomic<bool> closeRequested{false};
    QTimer waitTimer;
};

} // namespace ovra::tempix
