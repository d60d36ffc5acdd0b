// What a track's row and its picture pane say when the track did not go as
// asked: words made from the causes the batch recorded, not from its log.
#pragma once
#include "batch/TrackResult.h"

#include <string>

namespace ovra::tempix {

// "File not found: PATH", "Permission denied", "Not an audio file", "Too
// short to analyse (1.200 s)", the decoder's reason...; empty for a track
// that went as asked.
std::string trackproblemwords(const TrackResult& result);

// Why the picture pane shows no picture of the track, in the same words.
std::string nopicturewords(const TrackResult& result);

} // namespace ovra::tempix
