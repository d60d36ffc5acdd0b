// One batch from start to end: its sources (the library, one playlist, or
// folders, files and playlist files) in their order, the tracks through
// their jobs, a cancel, and how the batch ended.
#pragma once
#include "batch/BatchLibrary.h"
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/FolderSources.h"
#include "batch/LibraryUpdater.h"
#include "batch/ReplayGainStep.h"
#include "batch/TrackHooks.h"
#include "batch/TrackJobs.h"
#include "batch/TrackPipeline.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ovra::tempix {

enum class BatchOutcome { none, finished, aborted, cancelled };

class BatchRunner {
public:
    BatchRunner(BatchDisplay& display, TrackHooks& hooks, const BatchSettings& settings);

    void run(const BatchOptions& options, ovra::Canceler& canceler);
    // One track, start to end, on the calling thread.
    void runTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler)
    {
        jobs.runnow(path, trackId, options, canceler);
    }
    // The library's part of a track, through the script helper.
    void updateLibrary(const ITunesUpdateInput& input) { library.update(input); }

    BatchOutcome outcome() const { return ending.load(); }
    int errorCount() const { return log.errorcount(); }
    const char* logPath() const { return log.path(); }
    // How far the last batch got: the tracks that got their row, of those it counted.
    int finishedTracks() const { return jobs.rows(); }
    int trackCount() const { return tracksInBatch.load(); }

private:
    void start(const BatchOptions& options);
    void libraryBranch(const BatchOptions& options, ovra::Canceler& canceler);
    void folderBranch(const BatchOptions& options, ovra::Canceler& canceler);
    // Looks the folder batch's files up in the library (exporting only).
    bool folderTrackIds(const BatchOptions& options, ovra::Canceler& canceler, std::map<std::string, int32_t>& ids);
    std::vector<FolderSource> folderSources();
    // The audio files under the sources; -1 when cancelled.
    int countFiles(const std::vector<FolderSource>& sources, ovra::Canceler& canceler);
    // false when cancelled.
    bool walkSource(const FolderSource& source, const std::map<std::string, int32_t>& ids, const BatchOptions& options,
                    ovra::Canceler& canceler, int& done);
    void logMappings(TrackLocations& locations);
    void setProgressRange(int count);
    // Both first settle the library's unsaved changes, so that the count of
    // errors is final.
    void finish(ovra::Canceler& canceler);
    void abort(const char* message);
    void ended(ovra::Canceler& canceler);

    const BatchSettings& settings;
    BatchLog log;
    LibraryUpdater library;
    BatchLibrary source;
    AlbumGains albums;
    TrackPipeline pipeline;
    TrackJobs jobs;
    std::atomic<BatchOutcome> ending{BatchOutcome::none};
    std::atomic<int> tracksInBatch{0}; // the progress range
};

} // namespace ovra::tempix
