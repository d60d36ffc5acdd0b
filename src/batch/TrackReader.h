// The first step of a track: its lock and an interrupted update of it
// settled, its tag opened, the genre filter, and what the tag holds now.
#pragma once
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/ReplayGainStep.h"
#include "batch/TrackHooks.h"
#include "batch/TrackState.h"

#include <set>
#include <string>

namespace ovra::tempix {

class TrackReader {
public:
    TrackReader(BatchLog& log, TrackHooks& hooks, const BatchSettings& settings, AlbumGains& albums)
        : log(log), hooks(hooks), settings(settings), albums(albums)
    {
    }

    // Takes the batch's genre lists.
    void begin();
    // false when the track ends here (logged, and counted when it failed).
    bool read(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);

private:
    // Takes the track's lock and settles an interrupted update of it first
    // (a dry run only looks); false when the track may be damaged.
    bool claimTrack(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    bool openTrack(TrackState& track, int found);
    void readValues(TrackState& track, const BatchOptions& options);
    bool passesGenreFilter(ovra::Tag& tag);

    BatchLog& log;
    TrackHooks& hooks;
    const BatchSettings& settings;
    AlbumGains& albums;
    std::set<std::string> genreSet;
};

} // namespace ovra::tempix
