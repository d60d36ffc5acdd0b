// The library file a batch reads: where it is, and its tracks by ID, by
// playlist item and by the real path of their files. Every look-up of a
// library track goes through entry(), so that all of them read it alike.
#pragma once
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/TrackState.h"
#include "plist/PListNode.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ovra::tempix {

class BatchLibrary {
public:
    BatchLibrary(BatchLog& log, const BatchSettings& settings) : log(log), settings(settings) {}

    void clear();
    // The library file of this batch: the one named in the settings, or the
    // one the library's preferences point to (tried: the places looked at).
    void file(char* out, std::vector<std::string>* tried = nullptr) const;
    // Reads the file this batch names (throws its code); placesTried are
    // where it was looked for.
    void load();
    // Looks for the file as load() does; false when there is none to read.
    bool found(char* path);
    bool loaded() const { return root != nullptr; }
    ovra::PListNode* document() const { return root.get(); }

    // The playlist this batch processes (the whole library when none is
    // named); null, logged, when it is not there.
    ovra::PListArray* playlistItems();
    // The track a playlist item names and its location; false, and logged,
    // when the item or its track cannot be used.
    bool playlistTrack(ovra::PListNode* item, int32_t& id, const char*& location);
    // The library's tracks by the real path of their files.
    void trackIdsByPath(std::map<std::string, int32_t>& ids);
    // What the library holds for a track; all 0 without a library or ID.
    LibraryValues values(int32_t trackId) const;

    // The words for a code that ended the batch: what is wrong and where.
    void logError(int code);
    void logPlaces();

private:
    // The track's entry (throws a plist code when there is none).
    ovra::PListDict* entry(int32_t id) const;

    BatchLog& log;
    const BatchSettings& settings;
    std::unique_ptr<ovra::PListNode> root;
    char loadedFile[ovra::PATH_BUFFER] = ""; // the one this batch read
    std::vector<std::string> places;         // where it was looked for
};

} // namespace ovra::tempix
