// What a track's row and its picture pane say when the track did not go as
// asked: words made from the causes the batch recorded, not from its log.
#pragma once
#include "batch/TrackPicture.h"
#include "batch/TrackResult.h"

#include <string>

namespace ovra::tempix {

// Why a file could not be opened, told apart while it is as the batch met
// it: found is stat's errno (0: it is there), else an errno of reading it,
// or TrackResult::FILE_NOT_AUDIO / FILE_UNREADABLE.
int fileproblem(const char* path, int found);

// "File not found: PATH", "Permission denied", "Not an audio file", "Too
// short to analyse (1.200 s)", the decoder's reason...; empty for a track
// that went as asked.
std::string trackproblemwords(const TrackResult& result);

// Why the picture pane shows no picture of the track, in the same words.
std::string nopicturewords(const TrackResult& result);
std::string nopicturewords(const TrackPicture& picture);

} // namespace ovra::tempix
