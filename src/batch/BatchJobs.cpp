// BatchProcessor with several jobs: each track's reading, analysis and tag
// write run on a worker; its log entries, its row, the progress and its
// library update follow in the batch's order on the batch's own thread, so
// that the log and the library come out as with one job.
#include "batch/BatchProcessor.h"
#include "batch/TrackState.h"

#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ovra::tempix {

struct BatchProcessor::TrackJob : TrackSequencer::Job {
    std::string path; // empty: entries of the batch's own between tracks
    int32_t trackId = -1;
    int progress = 0;
    std::function<void(bool failed)> finished;
    std::vector<std::string> entries; // held until the track's turn
    std::unique_ptr<TrackReport_auto> report;
    bool hasUpdate = false;
    ITunesUpdateInput update;
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

void BatchProcessor::showFile(const char* path)
{
    if (runningJob == nullptr)
        display.setFileLine(path);
}

void BatchProcessor::emitLog(const char* text)
{
    if (held.holding())
        held.hold(text);
    else
        writeLog(text);
}

void BatchProcessor::startJobs(int jobs, const BatchOptions& options, ovra::Canceler& canceler)
{
    sequencer = std::make_unique<TrackSequencer>(
        jobs, canceler, [this, &options](TrackSequencer::Job& job) { workOn(static_cast<TrackJob&>(job), options); },
        [this](TrackSequencer::Job& job, bool whole) { commitTrack(static_cast<TrackJob&>(job), whole); },
        [this](TrackSequencer::Job& job) { showJob(static_cast<TrackJob&>(job)); });
}

bool BatchProcessor::heldForTurn(const char* text)
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

bool BatchProcessor::statusOfJob(const char* text)
{
    if (runningJob != nullptr) {
        runningJob->setstatus(text);
        return true;
    }
    return sequencer && !committing && sequencer->pending() > 0;
}

void BatchProcessor::showJob(TrackJob& job)
{
    if (job.path.empty())
        return;
    display.setFileLine(job.path.c_str());
    display.setStatusLine(job.currentstatus().c_str());
}

void BatchProcessor::runTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler,
                              int progress, std::function<void(bool failed)> finished)
{
    if (!sequencer) {
        const int before = errors.load();
        processTrack(path, trackId, options, canceler);
        if (finished)
            finished(errors.load() != before);
        if (!canceler.iscancelled())
            setProgressValue(progress);
        return;
    }
    auto job = std::make_unique<TrackJob>();
    job->path = path;
    job->trackId = trackId;
    job->progress = progress;
    job->finished = std::move(finished);
    sequencer->add(std::move(job), path);
}

void BatchProcessor::workOn(TrackJob& job, const BatchOptions& options)
{
    ovra::Canceler& canceler = sequencer->canceler();
    runningJob = &job;
    try {
        job.setstatus("Checking track metadata");
        logLine("Processing: %s\n", logged(job.path.c_str()).c_str());
        job.report = std::make_unique<TrackReport_auto>(display, job.path.c_str(), job.trackId, canceler, &rowsShown);
        OnTrack_auto on(*job.report);
        TrackState track(job.path.c_str(), job.trackId);
        if (trackSteps(track, options, canceler, *job.report)) {
            job.update = libraryUpdate(track, options);
            job.hasUpdate = true;
        }
    } catch (...) {
        job.failure = std::current_exception();
        if (job.report)
            job.report->abandon();
    }
    runningJob = nullptr;
}

void BatchProcessor::commitTrack(TrackJob& job, bool whole)
{
    struct Committing_auto {
        bool& flag;
        explicit Committing_auto(bool& f) : flag(f) { flag = true; }
        ~Committing_auto() { flag = false; }
    } committingNow(committing);

    for (const std::string& entry : job.entries)
        emitLog(entry.c_str());
    if (job.path.empty() || !whole || !job.report)
        return; // a track cut short says no more than it logged; its report is dropped
    ovra::Canceler& canceler = sequencer->canceler();
    {
        OnTrack_auto on(*job.report);
        if (job.failure)
            std::rethrow_exception(job.failure); // the report goes with the job: a failed row
        if (job.hasUpdate && !canceler.iscancelled())
            updateLibrary(job.update);
    }
    if (job.finished)
        job.finished(job.report->errorcounter() != 0);
    job.report.reset(); // the track's row, after its last entry
    if (!canceler.iscancelled())
        setProgressValue(job.progress);
    settleLibrary(false);
}

bool BatchProcessor::tracksFinished(ovra::Canceler& canceler)
{
    if (sequencer)
        sequencer->finish();
    return !canceler.iscancelled();
}

void BatchProcessor::stopTracks()
{
    if (sequencer)
        sequencer->stop();
}

} // namespace ovra::tempix
