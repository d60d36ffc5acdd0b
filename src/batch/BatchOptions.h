// What a batch is asked to do: copied by value into the worker.
#pragma once
#include <array>
#include <string>
#include <vector>

namespace ovra::tempix {

class BatchProcessor;

// ReplayGain tags for players: none, the track's, or the track's and its album's.
enum class ReplayGainMode { off, track, album };

// The nine processing flags, in the order of the main window's checkboxes.
struct BatchOptions {
    bool detectbpm = true;
    bool overwritebpm = false;
    bool optimizetimes = false;
    bool lessintro = false;
    bool overwritetimes = false;
    bool adjustvolume = false;
    bool overwritevolume = false;
    bool exportToLibrary = true; // "export"
    bool reprocess = false;
    // Runs the whole batch but writes nothing: no tag, no library, no journal;
    // the log says what a run would change.
    bool dryRun = false;
    // ReplayGain tags, measured in the analysis's own decoding; the true peak
    // (4x oversampled) in place of the sample peak when asked.
    ReplayGainMode replaygain = ReplayGainMode::off;
    bool truePeak = false;
    // Lists what a batch would take, as its tags stand (with dryRun: nothing
    // is written): each track is read, not decoded.
    bool listOnly = false;
};

enum BatchSource : int {
    SOURCE_MUSIC_FOLDER = 0,
    SOURCE_LIBRARY = 1,
    SOURCE_PLAYLIST = 2,
    SOURCE_FOLDER = 3,
    SOURCE_PLAYLIST_FILE = 4, // a track list written by another program (.m3u, .m3u8, .pls)
};

// Which tracks a batch takes by their genre. Saved settings keep the number.
enum GenrePolicy : int {
    GENRES_ALL = 0,
    GENRES_SKIP_BAD = 1,  // all but those of badgenres
    GENRES_ONLY_GOOD = 2, // only those of goodgenres
};

// The settings a batch reads besides the flags; fixed while it runs.
struct BatchSettings {
    int source = SOURCE_MUSIC_FOLDER;
    std::string path;         // folder of sources 0 and 3, at most 1023 bytes
    std::string playlist;     // playlist name of source 2, at most 79 bytes
    std::string playlistFile; // the list of source 4
    GenrePolicy genrepolicy = GENRES_SKIP_BAD;
    std::string badgenres;
    std::string goodgenres;
    std::string libraryFile; // when not empty, used instead of locating the library
    // Files and folders of a folder batch (source 3) in place of path, when
    // not empty: folders are walked, playlist files give the tracks they
    // list, other files are taken as they are.
    std::vector<std::string> paths;
    // How the front end names its overwrite options for BPM, times and volume,
    // for the line of a track whose values another program set; empty: the
    // wording of the desktop's checkboxes.
    std::array<std::string, 3> overwriteOptionNames;
    // Tracks analysed at once; 1: one after another on the batch's thread,
    // 0: one per core. The log, tags, records and library come out the same
    // either way.
    int jobs = 1;
    // Library locations written elsewhere, mapped to folders here:
    // "PREFIX=FOLDER" each (plist/LocationMap.h).
    std::vector<std::string> locationMaps;
};

} // namespace ovra::tempix
