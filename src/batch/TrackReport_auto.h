// Gathers what becomes of one track while the pipeline runs it, and hands
// the result to the display on every way out of the track but cancellation.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/TrackResult.h"

#include <atomic>
#include <cstdint>

namespace ovra {
class Canceler;
}

namespace ovra::tempix {

class TrackReport_auto {
public:
    // slot is where the batch looks for the running track's report while it
    // logs; it points here for the report's lifetime.
    TrackReport_auto(BatchDisplay& display, const std::atomic<int>& errors, TrackReport_auto*& slot, const char* path,
                     int32_t trackId, ovra::Canceler& canceler);
    ~TrackReport_auto();
    TrackReport_auto(const TrackReport_auto&) = delete;
    TrackReport_auto& operator=(const TrackReport_auto&) = delete;

    // One log entry written while the track runs.
    void addentry(const char* text);
    // The analysis the track's values come from, and the values derived.
    void setvalues(const TrackAnalysis& analysis, double sampleRate, bool doBpm, int bpm, bool doTimes,
                   const TrackTimes& times, bool doVolume, const VolumeAdjustment& volume);

private:
    BatchDisplay& display;
    const std::atomic<int>& errors;
    TrackReport_auto*& slot;
    ovra::Canceler& canceler;
    int errorsAtStart;
    int exceptionsAtStart;
    bool tagUpdated = false;
    bool tagUpToDate = false;
    bool tagWouldUpdate = false;
    TrackResult result;
};

} // namespace ovra::tempix
