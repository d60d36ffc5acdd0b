// A dry run goes through every step of a batch, analysis included, and
// writes nothing: in place of "Track updated." and "iTunes updated." the log
// says what a run would change, old and new value of each.
#pragma once
#include "batch/ITunesUpdate.h"
#include "batch/TrackState.h"

#include <string>

namespace ovra::tempix {

// Written after the batch's start line.
extern const char* const DRY_RUN_STARTED;

// "Would update track: BPM 0 -> 128, volume +0% -> -7%, analysis record
// added.", or "Track is up-to-date." when the tag step staged nothing.
std::string dryruntagentry(const TrackState& track);

// The library step of a dry run: the same decision as updateITunes, and in
// place of the script the values the library's entry would then hold
// ("Would update iTunes: Start Time 0 -> 1234, ..."), as the script helper
// sets them: the refresh takes the tag's tempo and (where the tag has one)
// its volume, the script the times and an MP4 file's volume.
void describelibraryupdate(const ITunesUpdateInput& input, const TrackState& track, ITunesUpdateSink& sink);

} // namespace ovra::tempix
