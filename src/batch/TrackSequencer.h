// Runs the costly part of a batch's tracks on worker threads and hands them
// back in the order they were added, on the thread that adds them: what a
// user sees and the library's updates stay in the batch's order.
//
// At most a window of jobs (twice the workers) is uncommitted at a time, so
// memory grows with the workers, not with the tracks. A job for a file that
// an uncommitted job also reads (the same device and inode: a link, a
// playlist listing it twice) waits until that one is committed, so that it
// sees what the earlier one wrote.
#pragma once
#include "platform/Threads.h"

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ovra::tempix {

class TrackSequencer {
public:
    class Job {
    public:
        virtual ~Job() = default;

    private:
        friend class TrackSequencer;
        bool needsWork = true; // false: committed as it is (lines between tracks)
        bool started = false;
        bool done = false;
        bool identified = false;
        dev_t device = 0;
        ino_t inode = 0;
    };

    // work runs on a worker; commit on the adding thread, in order, with
    // whole false for a job cut short by stop().
    using Work = std::function<void(Job& job)>;
    using Commit = std::function<void(Job& job, bool whole)>;
    // Called about every WAIT_REFRESH_MS while the adding thread waits for
    // the oldest job, with that job.
    using Waiting = std::function<void(Job& oldest)>;
    static constexpr int WAIT_REFRESH_MS = 100;

    // The workers poll canceler() (cancelled with outer or by stop()).
    TrackSequencer(int workers, ovra::Canceler& outer, Work work, Commit commit, Waiting waiting = nullptr);
    // Stops the workers that still run (see stop()).
    ~TrackSequencer();
    TrackSequencer(const TrackSequencer&) = delete;
    TrackSequencer& operator=(const TrackSequencer&) = delete;

    ovra::Canceler& canceler() { return linked; }

    // Queues a job for the file at path (null: none); commits the oldest
    // ones first while the window is full or the file is in use.
    void add(std::unique_ptr<Job> job, const char* path);
    // Queues a job that needs no work: committed in its turn.
    void addready(std::unique_ptr<Job> job);
    // The newest uncommitted job when it needs no work, else null.
    Job* lastready();
    // Commits what is done at the front without waiting.
    void commitdone();
    // Commits every job, waiting for each; stop() once cancelled.
    void finish();
    // Cancels the workers, waits for them, commits the jobs that started
    // (whole = false) and those before them; drops the others.
    void stop();
    // Jobs not yet committed.
    size_t pending();

private:
    // Links the batch's token with the sequencer's own stop.
    class LinkedCanceler : public ovra::Canceler {
    public:
        explicit LinkedCanceler(ovra::Canceler& outer) : outer(outer) {}
        // A worker that cancels cancels the batch.
        void cancel() override { outer.cancel(); }
        void stopworkers() { own.cancel(); }
        bool iscancelled() override { return own.iscancelled() || outer.iscancelled(); }
        void addcond(pthread_cond_t* condition) override { own.addcond(condition); }
        bool timedwait(int seconds) override { return own.timedwait(seconds) || outer.iscancelled(); }

    private:
        ovra::Canceler& outer;
        ovra::Canceler_normal own;
    };

    void workerloop();
    // Commits the oldest job, waiting for it when wait is set; false when
    // there is none or it is not done (and wait is not set).
    bool commitoldest(bool wait);
    size_t trackjobs(); // uncommitted jobs that need work; under the mutex
    bool inuse(const Job& job);

    LinkedCanceler linked;
    Work work;
    Commit commit;
    Waiting waiting;
    size_t window;
    std::mutex mutex;
    std::condition_variable jobReady;       // a job to start, or stopping
    std::condition_variable jobDone;        // a job finished its work
    std::deque<std::unique_ptr<Job>> order; // uncommitted, in order
    std::deque<Job*> waitingToStart;
    bool stopping = false;
    std::vector<std::jthread> workers;
};

} // namespace ovra::tempix
