// One track from its first read to its tag write: the steps each take the
// track's state from the one before, and what became of the track goes to
// its report. The library's part follows in the batch's order (TrackJobs).
#pragma once
#include "batch/BatchLibrary.h"
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/ReplayGainStep.h"
#include "batch/TrackHooks.h"
#include "batch/TrackState.h"
#include "batch/TrackTagWriter.h"
#include "platform/Threads.h"

#include <optional>
#include <set>
#include <string>

namespace ovra::tempix {

class TrackPipeline {
public:
    TrackPipeline(BatchLog& log, TrackHooks& hooks, const BatchSettings& settings, const BatchLibrary& library,
                  AlbumGains& albums)
        : log(log), hooks(hooks), settings(settings), library(library), albums(albums), tagWriter(log)
    {
    }

    // Takes the batch's genre lists.
    void begin();
    // The track's steps up to its tag write; the library's update when the
    // track goes on to the library.
    std::optional<ITunesUpdateInput> run(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler,
                                         TrackReport_auto& report);

private:
    // Each returns false when the track ends there (logged, and counted
    // when it failed).
    bool readTrack(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    // Takes the track's lock and settles an interrupted update of it first
    // (a dry run only looks); false when the track may be damaged.
    bool claimTrack(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    bool openTrack(TrackState& track, int found);
    void readValues(TrackState& track, const BatchOptions& options);
    bool passesGenreFilter(ovra::Tag& tag);
    bool decideWrites(TrackState& track, const BatchOptions& options);
    // Which values this run may set (another program's stay unless overwritten).
    void chooseValues(TrackState& track, const BatchOptions& options);
    void skipForOthers(const TrackState& track, const BatchOptions& options);
    bool obtainAnalysis(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    void deriveValues(TrackState& track, const BatchOptions& options);

    BatchLog& log;
    TrackHooks& hooks;
    const BatchSettings& settings;
    const BatchLibrary& library;
    AlbumGains& albums;
    TrackTagWriter tagWriter;
    std::set<std::string> genreSet;
};

} // namespace ovra::tempix
