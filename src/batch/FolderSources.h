// What a folder batch goes through, in order: the folders and files it was
// given, with each playlist file among them replaced by the tracks it lists
// and a line for each of its entries that gives no track.
#pragma once
#include "batch/BatchOptions.h"
#include "batch/TrackLocations.h"

#include <optional>
#include <string>
#include <vector>

namespace ovra::tempix {

// A path to walk or take, or a line to log, or both.
struct FolderSource {
    std::string path;
    std::string line;
    bool error = false; // the line counts as an error
};

// The roots of a folder batch as real paths, as the library's locations are
// matched through theirs: a folder given through a link finds its tracks.
std::vector<std::string> folderroots(const BatchSettings& settings);

// The entries of the playlist file at path as sources. A missing file is a
// track the user asked for and did not get: an error. A stream, a file
// elsewhere, or a second listing of a track are simply not for this batch.
void playlistsources(const std::string& path, ovra::LocationMap& map, std::vector<FolderSource>& out);

} // namespace ovra::tempix
