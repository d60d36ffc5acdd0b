// How the batch's tracks run: one at a time on the batch's thread, or with
// several jobs, each track's reading, analysis and tag write on a worker and
// its log entries, its row, the progress and its library update in the
// batch's order on the batch's own thread, so that the log and the library
// come out as with one job.
#pragma once
#include "batch/BatchLog.h"
#include "batch/LibraryUpdater.h"
#include "batch/TrackHooks.h"
#include "batch/TrackPipeline.h"
#include "batch/TrackSequencer.h"

#include <atomic>
#include <functional>
#include <memory>

namespace ovra::tempix {

class TrackJobs {
public:
    TrackJobs(BatchLog& log, TrackPipeline& pipeline, TrackHooks& hooks, LibraryUpdater& library);
    ~TrackJobs();
    TrackJobs(const TrackJobs&) = delete;
    TrackJobs& operator=(const TrackJobs&) = delete;

    // A new batch with this many jobs (the workers start when more than one).
    void begin(int jobs, const BatchOptions& options, ovra::Canceler& canceler);
    // A track of the batch: run now (one job), or queued for the workers and
    // committed in its turn; progress is the bar's value once it is done.
    // finished, when given, learns whether the track failed, in the batch's order.
    void run(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler, int progress,
             std::function<void(bool failed)> finished = nullptr);
    // One track, start to end, on the calling thread.
    void runnow(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler);
    // Commits every queued track; false when the batch was cancelled meanwhile.
    bool finished(ovra::Canceler& canceler);
    // Stops the workers; the lines of the tracks they began are written.
    void stop();
    void end();
    // The tracks that got their row in this batch.
    int rows() const { return rowsShown.load(); }

private:
    struct TrackJob;
    // With several jobs: an entry made on a worker, or by the batch while
    // tracks before it are pending, waits for its turn (true when taken).
    bool heldForTurn(const char* text);
    // A worker's status is its track's; the batch shows the oldest track's.
    bool statusOfJob(const char* text);
    void showJob(TrackJob& job);
    void workOn(TrackJob& job, const BatchOptions& options);
    void commitTrack(TrackJob& job, bool whole);

    BatchLog& log;
    TrackPipeline& pipeline;
    TrackHooks& hooks;
    LibraryUpdater& library;
    std::atomic<int> rowsShown{0};
    std::unique_ptr<TrackSequencer> sequencer;
    static inline thread_local TrackJob* runningJob = nullptr; // the job a worker runs now
    bool committing = false;                                   // a job's entries go out in their turn now
};

} // namespace ovra::tempix
