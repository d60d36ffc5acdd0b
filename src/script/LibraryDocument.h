// The music library file, held as its own bytes so that everything the host
// does not change is written back byte for byte: text is kept raw (entity
// references included), layout and order untouched. Beside the bytes only a
// small index is kept (where each track's dictionary lies, the playlists'
// track IDs, the persistent IDs); a track's values are read from its bytes
// when asked. A change is held as a splice into its track's bytes, and a save
// writes the old bytes with the splices in their places. Changes are journaled, so that a
// file another program rewrote meanwhile is re-read and the changes applied
// again.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace ovra {

class LibraryDocument {
public:
    // 0, SCRIPT_FILE_NOT_FOUND when the file is missing, SCRIPT_APP_FAILED when it is no library.
    int load(const std::string& path);
    bool loaded() const { return isloaded; }
    const std::string& path() const { return filepath; }

    int playlistcount() const { return static_cast<int>(c.playlists.size()); }
    // The track IDs of playlist index (from 1), in order; tracks missing from
    // "Tracks", and ambiguous ones (see plist/LibraryRules.h), are left out.
    const std::vector<int64_t>& playlisttracks(int index) const;
    // The tracks whose "Persistent ID" has this value (valid until the next
    // call), and the position of a track in a playlist (-1: not in it); both
    // from indexes made at load.
    const std::vector<int64_t>& trackswithpersistentid(uint64_t id) const;
    long playlistposition(int index, int64_t track) const;
    std::string playlistname(int index) const;
    bool hastrack(int64_t id) const { return findtrack(id) != nullptr; }

    bool getinteger(int64_t track, const char* key, int64_t& value) const;
    // The text with its character and entity references decoded.
    bool getstring(int64_t track, const char* key, std::string& value) const;

    // Changes; an unchanged value changes nothing.
    void setinteger(int64_t track, const char* key, int64_t value);
    void removekey(int64_t track, const char* key);
    bool dirty() const { return !journal.empty(); }

    // Writes the changes to a temporary file next to the library and renames it
    // over the library; a failure leaves the old file as it was and the changes
    // pending. 0 or an error number (EAGAIN: the file kept changing meanwhile).
    int save();
    static constexpr int SAVE_ATTEMPTS = 8;

private:
    struct Edit {
        int64_t track;
        std::string key;
        bool remove;
        int64_t value;
    };
    // Where a track's dictionary element lies in the file's bytes.
    struct Track {
        int64_t id;
        size_t begin;
        size_t end;
    };
    struct Playlist {
        size_t nameBegin = 0; // the raw text of its "Name"
        size_t nameEnd = 0;
        std::vector<int64_t> items;
    };

    // Everything read from the file; replaced as a whole, only by a read that succeeded.
    struct Contents {
        std::string text;          // the file's bytes
        std::string realpath;      // the file itself, links resolved
        struct stat seen {};       // the file as we last read or wrote it
        std::vector<Track> tracks; // by ID
        std::vector<Playlist> playlists;
        std::vector<std::pair<uint64_t, int64_t>> persistentids; // (persistent ID, track), in order
    };
    Contents c;
    bool isloaded = false;
    std::string filepath; // as given
    // A change to a track's dictionary: the bytes from at (within the
    // dictionary as read) on, removed long, are replaced by inserted.
    struct Splice {
        size_t at;
        size_t removed;
        std::string inserted;
    };
    // The tracks changed since the file was read, each with its splices in
    // order (none of them overlap); saved or not, they are what the bytes
    // read then lack.
    std::map<int64_t, std::vector<Splice>> patched;
    mutable std::vector<std::vector<std::pair<int64_t, long>>> positions; // made when first asked
    mutable std::vector<int64_t> found;                                   // what trackswithpersistentid returned last
    std::vector<Edit> journal;

    int parse(const std::string& path);
    // Finds the tracks and playlists in n.text; false when it is no library.
    static bool index(Contents& n);
    const Track* findtrack(int64_t id) const;
    // The track's dictionary as it now reads (in scratch when it changed);
    // empty when there is no such track.
    std::string_view trackdict(int64_t id, std::string& scratch) const;
    void change(int64_t track, std::string_view now, size_t at, size_t removed, std::string inserted);
    bool applyset(int64_t track, const std::string& key, int64_t value);
    bool applyremove(int64_t track, const std::string& key);
    bool changedondisk() const;
    // Writes the file's bytes with the changed tracks in their places to a
    // new temporary file next to the library; 0 and its name and identity,
    // or an error number (nothing left behind).
    int writetemporary(std::string& name, struct stat& written) const;
};

// Removes the temporary file of a save in progress; safe in a signal handler.
void removesavetemporary();

} // namespace ovra
