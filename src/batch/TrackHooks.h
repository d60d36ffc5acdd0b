// Where a track meets the outside world: its tag, its audio and its library
// entry. The batch goes through these; tests put their own in.
#pragma once
#include "batch/ITunesUpdate.h"
#include "batch/Loudness.h"
#include "batch/TrackAnalysis.h"
#include "tags/Tag.h"

#include <memory>

namespace ovra {
class Canceler;
}

namespace ovra::tempix {

class TrackHooks {
public:
    virtual ~TrackHooks() = default;
    virtual std::unique_ptr<ovra::Tag> openTrackTag(const char* path) = 0;
    virtual AnalysisOutcome analyzeTrackAudio(const char* path, ovra::Canceler& canceler,
                                              const AnalysisOptions& measure) = 0;
    // The library's part of a track, through the script helper.
    virtual void updateLibrary(const ITunesUpdateInput& input) = 0;
};

} // namespace ovra::tempix
