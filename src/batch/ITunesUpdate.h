// The last step of a track: bring the library's own settings for it (start,
// finish, volume adjustment; the tempo through a refresh from the file) in
// line with what the batch worked out, by one script run in the helper.
#pragma once
#include "batch/TrackValues.h"
#include "script/AppleScriptServer.h"
#include "tags/Tag.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ovra::tempix {

struct ITunesUpdateInput {
    bool exportToLibrary = false; // the "export" option
    int32_t trackId = -1;         // negative: the file is not in the library
    uint64_t persistentId = 0;    // 0: unknown
    TrackValues values;           // as the track's steps worked them out
    int64_t libraryStart = 0;     // what the library file holds now (0: absent)
    int64_t libraryStop = 0;
    int64_t libraryVolumeAdjustment = 0;
    uint32_t tagKind = 0;       // MP4 or Xiph: the volume goes to the library (ID3 files carry it in the tag)
    bool iTunesChanged = false; // as the tag step left it
};

// Where the step reports: log entries, errors and the status line.
class ITunesUpdateSink {
public:
    virtual ~ITunesUpdateSink() = default;
    // One log entry, with its own line feed.
    virtual void logText(const char* text) = 0;
    virtual void countError() = 0;
    virtual void setStatus(const char* text) = 0;

    // The script ran and the library took the track's values: by default the
    // line "iTunes updated.". The batch holds it back until the library is saved.
    virtual void libraryUpdated(const ITunesUpdateInput& in);
    // The entry already holds the track's values: by default the line
    // "iTunes is up-to-date.".
    virtual void libraryUpToDate();
    // A dry run: the entry would change (its line is logged already).
    virtual void libraryWouldUpdate() {}

    void logLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Logs that the track's values did not reach the library ("Track not updated
// in iTunes: " and reason), what they should be, and counts the error.
void logNotUpdated(const ITunesUpdateInput& in, const char* reason, ITunesUpdateSink& sink);

// Whether the library's entry is to change: the tag step said so
// (iTunesChanged), or its times or volume differ from the values worked out.
bool librarychanged(const ITunesUpdateInput& in);
// What the library's part of a track is to do: nothing (no export, or a file
// the library does not know), say the entry is up to date, or update it.
enum class LibraryStep { none, upToDate, update };
LibraryStep librarystep(const ITunesUpdateInput& in);
// The step's start, for the update and the dry run alike: tells the sink
// when the entry is up to date; true when it is to be updated.
bool libraryupdatedue(const ITunesUpdateInput& in, ITunesUpdateSink& sink);

// The script for a track (what updateITunes sends).
std::string iTunesScript(const ITunesUpdateInput& in);

// Runs one script: 0 and the reply (cut to size - 1 bytes), or a status.
using ScriptRunner = std::function<int(const char* script, char* reply, size_t size)>;

// The whole step. server is the batch's connection to the helper.
void updateITunes(const ITunesUpdateInput& in, ovra::AppleScriptServer& server, ITunesUpdateSink& sink);
void updateITunes(const ITunesUpdateInput& in, const ScriptRunner& run, ITunesUpdateSink& sink);

} // namespace ovra::tempix
