#include "batch/TrackReport_auto.h"
#include "platform/Threads.h"

#include <cstring>
#include <exception>

namespace ovra::tempix {

TrackReport_auto::TrackReport_auto(BatchDisplay& display_, const char* path, int32_t trackId, ovra::Canceler& canceler_)
    : display(display_), canceler(canceler_), exceptionsAtStart(std::uncaught_exceptions())
{
    result.path = path ? path : "";
    result.trackId = trackId;
}

TrackReport_auto::~TrackReport_auto()
{
    if (canceler.iscancelled())
        return; // the batch is going away; nobody waits for this track
    // An exception leaving the track ends the batch; the track did not finish.
    if (std::uncaught_exceptions() > exceptionsAtStart || result.errors != 0)
        result.outcome = TrackOutcome::failed;
    else if (tagUpdated)
        result.outcome = TrackOutcome::updated;
    else if (tagWouldUpdate)
        result.outcome = TrackOutcome::wouldUpdate;
    else if (tagUpToDate)
        result.outcome = TrackOutcome::upToDate;
    else
        result.outcome = TrackOutcome::skipped;
    try {
        display.trackFinished(result);
    } catch (...) {
        // A display that cannot take the row must not stop the batch.
    }
}

void TrackReport_auto::addentry(const char* text)
{
    if (!text)
        return;
    // The pipeline's two closing lines for the tag say how the track went.
    if (std::strcmp(text, "Track updated.\n") == 0)
        tagUpdated = true;
    else if (std::strcmp(text, "Track is up-to-date.\n") == 0)
        tagUpToDate = true;
    else if (std::strncmp(text, "Would update track: ", 20) == 0)
        tagWouldUpdate = true;
    result.entries += text;
}

void TrackReport_auto::setvalues(const TrackAnalysis& analysis, double sampleRate, bool doBpm, int bpm, bool doTimes,
                                 const TrackTimes& times, bool doVolume, const VolumeAdjustment& volume)
{
    result.hasAnalysis = true;
    result.analysis = analysis;
    result.sampleRate = sampleRate;
    result.hasBpm = doBpm;
    result.bpm = doBpm ? bpm : 0;
    result.hasTimes = doTimes;
    result.startMs = doTimes ? times.startMs : 0;
    result.stopMs = doTimes ? times.stopMs : 0;
    result.hasVolume = doVolume;
    result.volumePercent = doVolume ? volume.percent : 0;
}

} // namespace ovra::tempix
