// One batch: the worker thread, the log file, the error count, the genre set,
// the loaded library and the script helper connection. The front ends (the
// progress sheet, tempix-cli) drive it and show it through a BatchDisplay.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/BatchOptions.h"
#include "platform/Threads.h"

#include <cstdint>

namespace ovra::tempix {

class BatchProcessor {
public:
    explicit BatchProcessor(BatchDisplay& display);
    // Cancels and waits for a running batch first.
    ~BatchProcessor();
    BatchProcessor(const BatchProcessor&) = delete;
    BatchProcessor& operator=(const BatchProcessor&) = delete;

    // Starts runBatch on a worker thread; 0 when started, -1 otherwise.
    int start(const BatchSettings& settings, const BatchOptions& options);
    void cancelall();  // every running worker's Canceler
    void waitall();    // until no worker runs
    bool running();

    // The worker's body, also callable on the caller's own thread.
    void runBatch(const BatchOptions& options, ovra::Canceler& canceler);
    void processTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler);

    // Display and log operations, safe on the worker thread.
    void logLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void setProgressRange(int count);
    void setProgressValue(int value);
    void setStatus(const char* text);
    void finishBatch();
    void abortBatch(const char* message);

    int errorCount() const;
    const char* logPath() const;
};

} // namespace ovra::tempix
