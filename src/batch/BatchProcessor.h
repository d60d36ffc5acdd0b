// A batch as the front ends (the progress sheet, tempix-cli) see it: the
// settings, the worker thread that runs it, and how it ended. They show it
// through a BatchDisplay; the batch itself is BatchRunner's.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/BatchOptions.h"
#include "batch/BatchRunner.h"
#include "batch/TrackHooks.h"
#include "platform/Threads.h"

#include <cstdint>
#include <memory>

namespace ovra::tempix {

class BatchProcessor : public TrackHooks {
public:
    explicit BatchProcessor(BatchDisplay& display);
    // Cancels and waits for a running batch first.
    ~BatchProcessor() override;
    BatchProcessor(const BatchProcessor&) = delete;
    BatchProcessor& operator=(const BatchProcessor&) = delete;

    // Takes the settings and starts runBatch on a worker thread; 0 when
    // started, -1 when a batch is running or no thread could be started.
    int start(const BatchSettings& settings, const BatchOptions& options);
    void cancelall(); // every running worker's Canceler
    void waitall();   // until no worker runs
    bool running();

    // The source, folder, playlist, genre policy and lists of the next batch;
    // they must not change while it runs.
    void setSettings(const BatchSettings& settings) { current = settings; }
    const BatchSettings& settings() const { return current; }

    // The worker's body, also callable on the caller's own thread.
    void runBatch(const BatchOptions& options, ovra::Canceler& canceler) { runner.run(options, canceler); }
    // One track, start to end, on the calling thread.
    void processTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler)
    {
        runner.runTrack(path, trackId, options, canceler);
    }

    // How the last batch ended; read once it no longer runs.
    using Outcome = BatchOutcome;
    Outcome outcome() const { return runner.outcome(); }
    int errorCount() const { return runner.errorCount(); }
    // The log file's full path once a batch has started.
    const char* logPath() const { return runner.logPath(); }
    // How far the last batch got: the tracks that got their row, of those it counted.
    int finishedTracks() const { return runner.finishedTracks(); }
    int trackCount() const { return runner.trackCount(); }

protected:
    // The tag and the analysis of one track, and its library entry's update
    // through the script helper; tests put their own in.
    std::unique_ptr<ovra::Tag> openTrackTag(const char* path) override;
    AnalysisOutcome analyzeTrackAudio(const char* path, ovra::Canceler& canceler,
                                      const AnalysisOptions& measure) override;
    void updateLibrary(const ITunesUpdateInput& input) override { runner.updateLibrary(input); }

private:
    static void workerEntry(void* argument, ovra::Canceler& canceler);

    ThreadGroup threads;
    BatchSettings current;
    BatchOptions startOptions;
    BatchRunner runner;
};

} // namespace ovra::tempix
