// What the pipeline knows of one track as it goes from step to step: what
// its tag and the library hold, what this run may set, the analysis and the
// values derived from it. One per track, so that tracks can run side by side.
#pragma once
#include "batch/TrackAnalysis.h"
#include "batch/TrackDataRecord.h"
#include "batch/Loudness.h"
#include "batch/TrackValues.h"
#include "tags/Tag.h"
#include "tags/TrackLock.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ovra::tempix {

// Values the library holds for a track; each 0 when it cannot be read.
struct LibraryValues {
    int32_t start = 0, stop = 0, volume = 0, bpm = 0;
    unsigned long long persistentId = 0;
    std::string name, artist; // for the results
    // Why the track's entry cannot be told apart from another's; empty when it can.
    std::string ambiguity;
};

struct TrackState {
    TrackState(const char* path_, int32_t trackId_) : path(path_), trackId(trackId_) {}

    const char* path;
    int32_t trackId; // negative: not in the library
    // Held from the first read of the track for a decision to its last
    // write, and let go after the tag (declared before it).
    ovra::TrackLock lock;

    // Read from the tag and the library. A record of another size or version
    // is not ours: it vouches for nothing and is replaced.
    std::unique_ptr<ovra::Tag> tag;
    uint8_t stored[TrackDataRecord::SIZE] = {};
    TrackDataRecord record;
    bool hasRecord = false;
    int tagBpm = 0;
    int tagRva = 0;
    bool volumeUnreadable = false; // the tag's volume is there but cannot be read
    LibraryValues library;

    // What the track held before this run (the tag's tempo and volume, the
    // library's times), for the results.
    TrackValues before;

    // The analysis, stored or fresh, and the values derived from it: each
    // present where this run may set it.
    TrackAnalysis analysis;
    double sampleRate = 0.0;
    TrackValues values;

    // ReplayGain: what the tag holds, whether this run measures and writes
    // the track's, and what was measured.
    ovra::ReplayGain replayGain;
    bool replayGainReadable = false;
    bool doReplayGain = false;
    LoudnessMeasure loudness;
    std::shared_ptr<const LoudnessMeter> meter;
    bool replayGainStaged = false;
    ovra::ReplayGain replayGainWritten; // what was staged
    std::string album;                  // the album's key (folder, artist, album); empty: none

    // What the tag step did.
    bool tagChanged = false;
    bool libraryChanged = false;
    uint32_t tagKind = 0;
    // Which of the tag's values were staged, and whether it has a volume a
    // refresh would read (for a dry run's account).
    bool bpmStaged = false;
    bool rvaStaged = false;
    bool recordStaged = false;
    bool rvaReadable = false;
};

} // namespace ovra::tempix
