// What became of one track of a batch, for a front end that lists them.
#pragma once
#include "batch/TrackAnalysis.h"

#include <cstdint>
#include <string>

namespace ovra::tempix {

enum class TrackOutcome {
    updated,     // the tag was written ("Track updated.")
    upToDate,    // nothing in the tag had to change ("Track is up-to-date.")
    skipped,     // left alone on purpose: genre filter, values set by another program
    failed,      // an error was counted for the track
    wouldUpdate, // a dry run: the tag would be written ("Would update track: ...")
};

struct TrackResult {
    std::string path;
    int32_t trackId = -1;
    TrackOutcome outcome = TrackOutcome::failed;
    int errors = 0; // errors counted while the track ran
    // The track's log entries after its "Processing:" line, each with its
    // line feed; the failure or the reason for a skip is among them.
    std::string entries;

    // The analysis the values come from, when the track got that far.
    bool hasAnalysis = false;
    TrackAnalysis analysis;
    double sampleRate = 0.0; // as the values were derived with

    // The values worked out for the track, each only when it was asked for
    // and allowed.
    bool hasBpm = false;
    int bpm = 0;
    bool hasTimes = false;
    int32_t startMs = 0;
    int32_t stopMs = 0;
    bool hasVolume = false;
    int32_t volumePercent = 0;
};

} // namespace ovra::tempix
