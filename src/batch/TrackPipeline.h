// One track from its first read to its tag write: the steps each take the
// track's state from the one before, and what became of the track goes to
// its report. The library's part follows in the batch's order (TrackJobs).
#pragma once
#include "batch/BatchLibrary.h"
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/ReplayGainStep.h"
#include "batch/TrackHooks.h"
#include "batch/TrackReader.h"
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
        : log(log), hooks(hooks), settings(settings), library(library), albums(albums),
          reader(log, hooks, settings, albums), tagWriter(log)
    {
    }

    // Takes the batch's genre lists.
    void begin() { reader.begin(); }
    // The track's steps up to its tag write; the library's update when the
    // track goes on to the library.
    std::optional<ITunesUpdateInput> run(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler,
                                         TrackReport_auto& report);

private:
    // Each returns false when the track ends there (logged, and counted
    // when it failed).
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
    TrackReader reader;
    TrackTagWriter tagWriter;
};

} // namespace ovra::tempix
