// The tag step of a track: its tempo, volume, ReplayGain and analysis record
// staged in its tag and written in one journaled update (or, in a dry run,
// described and let go), and what its library entry is then to get.
#pragma once
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/ITunesUpdate.h"
#include "batch/TrackState.h"

namespace ovra::tempix {

class TrackTagWriter {
public:
    explicit TrackTagWriter(BatchLog& log) : log(log) {}

    // false when the tag could not be written (logged and counted).
    bool write(TrackState& track, const BatchOptions& options);
    // The library's part of a track that went through write().
    static ITunesUpdateInput libraryUpdate(const TrackState& track, const BatchOptions& options);

private:
    void stageValues(TrackState& track, const BatchOptions& options);
    void writeFailed(int code);

    BatchLog& log;
};

} // namespace ovra::tempix
