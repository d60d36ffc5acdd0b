// Gathers what becomes of one track while the pipeline runs it, and hands
// the result to the display on every way out of the track but cancellation.
// With several jobs it is made where the track runs and ends where the track
// is committed, in the batch's order.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/TrackResult.h"

#include <cstdint>

namespace ovra {
class Canceler;
}

namespace ovra::tempix {

class TrackReport_auto {
public:
    TrackReport_auto(BatchDisplay& display, const char* path, int32_t trackId, ovra::Canceler& canceler);
    ~TrackReport_auto();
    TrackReport_auto(const TrackReport_auto&) = delete;
    TrackReport_auto& operator=(const TrackReport_auto&) = delete;

    // One log entry written while the track runs.
    void addentry(const char* text);
    // Where the batch counts the track's errors (ErrorCount::Track_auto).
    int& errorcounter() { return result.errors; }
    // The analysis the track's values come from, and the values derived.
    void setvalues(const TrackAnalysis& analysis, double sampleRate, bool doBpm, int bpm, bool doTimes,
                   const TrackTimes& times, bool doVolume, const VolumeAdjustment& volume);

private:
    BatchDisplay& display;
    ovra::Canceler& canceler;
    int exceptionsAtStart;
    bool tagUpdated = false;
    bool tagUpToDate = false;
    bool tagWouldUpdate = false;
    TrackResult result;
};

} // namespace ovra::tempix
