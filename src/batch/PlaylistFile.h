// Track lists that other programs write (.m3u, .m3u8, .pls): what each entry
// names on this computer, in the list's order.
#pragma once
#include "plist/LocationMap.h"

#include <string>
#include <vector>

namespace ovra::tempix {

// True when the name ends in ".m3u", ".m3u8" or ".pls", in any ASCII case.
bool isPlaylistFile(const char* path);

struct PlaylistEntry {
    enum Kind {
        track,    // path names an existing file or folder here
        missing,  // path names nothing here (error: stat's errno)
        repeated, // the same file as an earlier entry
        stream,   // a URL of another scheme than file:
        notLocal, // a file URL of another host
        unusable, // why says why (a mapped path too long, or ambiguous)
    };
    Kind kind = track;
    std::string text; // the entry as written, in UTF-8
    std::string path; // track, missing, repeated: the path here
    std::string why;
    int error = 0;
};

struct PlaylistContents {
    int error = 0; // errno when the list itself cannot be read; then no entries
    std::vector<PlaylistEntry> entries;
};

// Reads the list at path. Relative entries are taken against its folder;
// file URLs are decoded; absolute paths and file URLs go through map (when
// given and not empty) as the library's locations do. An .m3u or .pls that
// is not valid UTF-8 is read as ISO 8859-1; an .m3u8 always as UTF-8.
PlaylistContents readPlaylist(const char* path, ovra::LocationMap* map = nullptr);

// The entry lines of a list's text (BOM, comments and PLS keys dealt with),
// as written; pls: the text is a PLS file's. For readPlaylist and its tests.
std::vector<std::string> playlistLines(std::string text, bool pls, bool alwaysUtf8);

} // namespace ovra::tempix
