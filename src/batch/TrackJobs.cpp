#include "batch/TrackJobs.h"
#include "batch/TrackState.h"

#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace ovra::tempix {

struct TrackJobs::TrackJob : TrackSequencer::Job {
    std::string path; // empty: entries of the batch's own between tracks
    int32_t trackId = -1;
    int progress = 0;
    std::function<void(bool failed)> finished;
    std::vector<std::string> entries; // held until the track's turn
    std::unique_ptr<TrackReport_auto> report;
    std::optional<ITunesUpdateInput> update;
    std::exception_ptr failure; // passes to the batch in the track's turn

    void setstatus(const char* text)
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        status = text;
    }
    std::string currentstatus()
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        return status;
    }

private:
    std::mutex statusMutex;
    std::string status;
};

TrackJobs::TrackJobs(BatchLog& log_, TrackPipeline& pipeline_, TrackHooks& hooks_, LibraryUpdater& library_)
    : log(log_), pipeline(pipeline_), hooks(hooks_), library(library_)
{
    log.holdforturn = [this](const char* text) { return heldForTurn(text); };
    log.statusforturn = [this](const char* text) { return statusOfJob(text); };
}

TrackJobs::~TrackJobs()
{
    log.holdforturn = nullptr;
    log.statusforturn = nullptr;
}

void TrackJobs::begin(int jobs, const BatchOptions& options, ovra::Canceler& canceler)
{
    rowsShown = 0;
    if (jobs <= 1)
        return;
    sequencer = std::make_unique<TrackSequencer>(
        jobs, canceler, [this, &options](TrackSequencer::Job& job) { workOn(static_cast<TrackJob&>(job), options); },
        [this](TrackSequencer::Job& job, bool whole) { commitTrack(static_cast<TrackJob&>(job), whole); },
        [this](TrackSequencer::Job& job) { showJob(static_cast<TrackJob&>(job)); });
}

bool TrackJobs::heldForTurn(const char* text)
{
    if (runningJob != nullptr) {
        runningJob->entries.emplace_back(text);
        return true;
    }
    if (!sequencer || committing || sequencer->pending() == 0)
        return false;
    auto* ready = static_cast<TrackJob*>(sequencer->lastready());
    if (ready == nullptr) {
        auto job = std::make_unique<TrackJob>();
        ready = job.get();
        sequencer->addready(std::move(job));
    }
    ready->entries.emplace_back(text);
    return true;
}

bool TrackJobs::statusOfJob(const char* text)
{
    if (runningJob != nullptr) {
        runningJob->setstatus(text);
        return true;
    }
    return sequencer && !committing && sequencer->pending() > 0;
}

void TrackJobs::showJob(TrackJob& job)
{
    if (job.path.empty())
        return;
    log.shown().setFileLine(job.path.c_str());
    log.shown().setStatusLine(job.currentstatus().c_str());
}

void TrackJobs::runnow(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler)
{
    if (runningJob == nullptr)
        log.shown().setFileLine(path);
    log.line("Processing: %s\n", BatchLog::logged(path).c_str());
    TrackReport_auto report(log.shown(), path, trackId, canceler, &rowsShown);
    BatchLog::OnTrack_auto on(report);
    try {
        TrackState track(path, trackId);
        if (std::optional<ITunesUpdateInput> update = pipeline.run(track, options, canceler, report))
            hooks.updateLibrary(*update);
    } catch (...) {
        report.abandon(); // it ends the batch: the track did not finish
        throw;
    }
}

void TrackJobs::run(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler,
                    int progress, std::function<void(bool failed)> finished)
{
    if (!sequencer) {
        const int before = log.errors().load();
        runnow(path, trackId, options, canceler);
        if (finished)
            finished(log.errors().load() != before);
        if (!canceler.iscancelled())
            log.shown().setProgressValue(progress);
        return;
    }
    auto job = std::make_unique<TrackJob>();
    job->path = path;
    job->trackId = trackId;
    job->progress = progress;
    job->finished = std::move(finished);
    sequencer->add(std::move(job), path);
}

void TrackJobs::workOn(TrackJob& job, const BatchOptions& options)
{
    ovra::Canceler& canceler = sequencer->canceler();
    runningJob = &job;
    try {
        job.setstatus("Checking track metadata");
        log.line("Processing: %s\n", BatchLog::logged(job.path.c_str()).c_str());
        job.report =
            std::make_unique<TrackReport_auto>(log.shown(), job.path.c_str(), job.trackId, canceler, &rowsShown);
        BatchLog::OnTrack_auto on(*job.report);
        TrackState track(job.path.c_str(), job.trackId);
        job.update = pipeline.run(track, options, canceler, *job.report);
    } catch (...) {
        job.failure = std::current_exception();
        if (job.report)
            job.report->abandon();
    }
    runningJob = nullptr;
}

void TrackJobs::commitTrack(TrackJob& job, bool whole)
{
    struct Committing_auto {
        bool& flag;
        explicit Committing_auto(bool& f) : flag(f) { flag = true; }
        ~Committing_auto() { flag = false; }
    } committingNow(committing);

    for (const std::string& entry : job.entries)
        log.send(entry.c_str());
    if (job.path.empty() || !whole || !job.report)
        return; // a track cut short says no more than it logged (its row if it was written)
    ovra::Canceler& canceler = sequencer->canceler();
    {
        BatchLog::OnTrack_auto on(*job.report);
        if (job.failure)
            std::rethrow_exception(job.failure); // the report goes with the job: a failed row
        if (job.update && !canceler.iscancelled())
            hooks.updateLibrary(*job.update);
    }
    if (job.finished)
        job.finished(job.report->errorcounter() != 0);
    job.report.reset(); // the track's row, after its last entry
    if (!canceler.iscancelled())
        log.shown().setProgressValue(job.progress);
    library.settle(false);
}

bool TrackJobs::finished(ovra::Canceler& canceler)
{
    if (sequencer)
        sequencer->finish();
    return !canceler.iscancelled();
}

void TrackJobs::stop()
{
    if (sequencer)
        sequencer->stop();
}

void TrackJobs::end() { sequencer.reset(); }

} // namespace ovra::tempix
