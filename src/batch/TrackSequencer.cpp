#include "batch/TrackSequencer.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

namespace ovra::tempix {

TrackSequencer::TrackSequencer(int workerCount, ovra::Canceler& outer, Work work_, Commit commit_, Waiting waiting_)
    : linked(outer), work(std::move(work_)), commit(std::move(commit_)), waiting(std::move(waiting_)),
      window(size_t(std::max(1, workerCount)) * 2)
{
    for (int i = 0; i < std::max(1, workerCount); ++i)
        workers.emplace_back([this] { workerloop(); });
}

TrackSequencer::~TrackSequencer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    linked.stopworkers();
    jobReady.notify_all();
    workers.clear(); // joins
}

void TrackSequencer::workerloop()
{
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            jobReady.wait(lock, [this] { return stopping || !waitingToStart.empty(); });
            if (stopping)
                return;
            job = waitingToStart.front();
            waitingToStart.pop_front();
            job->started = true;
        }
        work(*job); // must not throw
        {
            std::lock_guard<std::mutex> lock(mutex);
            job->done = true;
        }
        jobDone.notify_all();
    }
}

size_t TrackSequencer::trackjobs()
{
    return size_t(std::count_if(order.begin(), order.end(), [](const auto& j) { return j->needsWork; }));
}

bool TrackSequencer::inuse(const Job& job)
{
    if (!job.identified)
        return false;
    return std::any_of(order.begin(), order.end(), [&](const auto& j) {
        return j->identified && j->device == job.device && j->inode == job.inode;
    });
}

void TrackSequencer::add(std::unique_ptr<Job> job, const char* path)
{
    struct stat st;
    if (path != nullptr && ::stat(path, &st) == 0) {
        job->identified = true;
        job->device = st.st_dev;
        job->inode = st.st_ino;
    }
    commitdone();
    for (;;) {
        bool full, busy;
        {
            std::lock_guard<std::mutex> lock(mutex);
            full = trackjobs() >= window;
            busy = inuse(*job);
        }
        if (!full && !busy)
            break;
        commitoldest(true);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        waitingToStart.push_back(job.get());
        order.push_back(std::move(job));
    }
    jobReady.notify_one();
}

void TrackSequencer::addready(std::unique_ptr<Job> job)
{
    job->needsWork = false;
    job->started = job->done = true;
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(std::move(job));
}

TrackSequencer::Job* TrackSequencer::lastready()
{
    std::lock_guard<std::mutex> lock(mutex);
    return !order.empty() && !order.back()->needsWork ? order.back().get() : nullptr;
}

size_t TrackSequencer::pending()
{
    std::lock_guard<std::mutex> lock(mutex);
    return order.size();
}

bool TrackSequencer::commitoldest(bool wait)
{
    std::unique_ptr<Job> oldest;
    {
        using Clock = std::chrono::steady_clock;
        const auto refresh = std::chrono::milliseconds(WAIT_REFRESH_MS);
        Clock::time_point next = Clock::now() + refresh;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (order.empty())
                return false;
            if (order.front()->done)
                break;
            if (!wait)
                return false;
            jobDone.wait_until(lock, next);
            if (waiting && !order.front()->done && Clock::now() >= next) {
                Job* front = order.front().get();
                lock.unlock(); // only this thread takes jobs off the front
                waiting(*front);
                lock.lock();
                next = Clock::now() + refresh;
            }
        }
        oldest = std::move(order.front());
        order.pop_front();
    }
    commit(*oldest, true); // may throw: the job is off the queue already
    return true;
}

void TrackSequencer::commitdone()
{
    while (commitoldest(false)) {
    }
}

void TrackSequencer::finish()
{
    // Once cancelled, tracks not begun stay so, as with one job.
    while (!linked.iscancelled() && commitoldest(true)) {
    }
    if (linked.iscancelled())
        stop();
}

void TrackSequencer::stop()
{
    linked.stopworkers();
    std::deque<std::unique_ptr<Job>> taken;
    {
        std::unique_lock<std::mutex> lock(mutex);
        waitingToStart.clear(); // never started: nothing of them is said
        jobDone.wait(lock, [this] {
            return std::all_of(order.begin(), order.end(), [](const auto& j) { return !j->started || j->done; });
        });
        // Jobs start in order: those before the last one that started are
        // all started, or lines between tracks.
        auto lastStarted =
            std::find_if(order.rbegin(), order.rend(), [](const auto& j) { return j->needsWork && j->started; });
        const size_t keep = size_t(order.rend() - lastStarted);
        for (size_t i = 0; i < keep; ++i)
            taken.push_back(std::move(order[i]));
        order.clear();
    }
    for (auto& job : taken) {
        std::unique_ptr<Job> owned = std::move(job);
        commit(*owned, !owned->needsWork);
    }
}

} // namespace ovra::tempix
