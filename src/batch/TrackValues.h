// The values of a track that a run sets, or that its tag and the library
// hold: the tempo, the start and stop times and the volume, each only where
// it is present. One type for the pipeline, the library's part, the dry run
// and the results, so that a value is copied as a whole and never field by
// field.
#pragma once
#include "batch/TrackAnalysis.h"

#include <cstdint>

namespace ovra::tempix {

struct TrackValues {
    bool hasBpm = false;
    int bpm = 0;
    bool hasTimes = false;
    TrackTimes times;
    bool hasVolume = false;
    VolumeAdjustment volume;
};

} // namespace ovra::tempix
