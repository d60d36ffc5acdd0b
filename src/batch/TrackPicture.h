// What a picture of one track's analysis is drawn from: the loudness of the
// whole track, the record stored in its tag, and one fresh analysis made
// from the same decoding. Nothing is written to the file.
#pragma once
#include "batch/TrackAnalysis.h"
#include "batch/TrackDataRecord.h"

#include <string>
#include <vector>

namespace ovra {
class Canceler;
}

namespace ovra::tempix {

struct TrackPicture {
    std::string path;
    bool hasRecord = false;
    TrackDataRecord record;    // as stored in the tag, when hasRecord
    AnalysisOutcome fresh;     // the analysis made now (failed: its log line)
    double duration = 0.0;     // seconds, from the decoder's length
    double blockSeconds = 0.0; // time covered by one level value
    std::vector<float> level;  // RMS of each block over all channels, full scale 1.0

    // The analysis to draw and the sample rate that goes with it: the stored
    // one, which the values in the tag come from, else the fresh one; null
    // when there is neither.
    const TrackAnalysis* shown(double& sampleRate) const;
};

// Seconds of one level value.
constexpr double PICTURE_BLOCK_SECONDS = 0.01;

// Reads the record through the tag layer (read-only), then decodes the file
// once for both the level and a fresh analysis. Cancellable between chunks;
// a cancelled picture has fresh.status cancelled. Exceptions of the decoder
// end in a failed fresh analysis, never in the caller.
TrackPicture loadTrackPicture(const char* path, ovra::Canceler& canceler);

} // namespace ovra::tempix
