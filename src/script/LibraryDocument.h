// The music library file, held as XML so that everything the host does not
// change is written back byte for byte: text is kept raw (entity references
// included), layout and order untouched. Changes are journaled, so that a file
// another program rewrote meanwhile is re-read and the changes applied again.
#pragma once
#include <pugixml.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
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
    // The tracks whose "Persistent ID" has this value, and the position of a
    // track in a playlist (-1: not in it); both from indexes made at load.
    const std::vector<int64_t>& trackswithpersistentid(uint64_t id) const;
    long playlistposition(int index, int64_t track) const;
    std::string playlistname(int index) const;
    bool hastrack(int64_t id) const { return c.tracks.count(id) != 0; }

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

    // Everything read from the file; replaced as a whole, only by a read that succeeded.
    struct Contents {
        std::unique_ptr<pugi::xml_document> doc;
        std::string realpath; // the file itself, links resolved
        std::string prolog;   // bytes before the root element
        std::string trailing; // bytes after it
        struct stat seen {};  // the file as we last read or wrote it
        std::map<int64_t, pugi::xml_node> tracks;
        std::vector<pugi::xml_node> playlists;
        std::vector<std::vector<int64_t>> playlistitems;
        std::unordered_map<uint64_t, std::vector<int64_t>> persistentids;
    };
    Contents c;
    bool isloaded = false;
    std::string filepath;                                             // as given
    mutable std::vector<std::unordered_map<int64_t, long>> positions; // made when first asked
    std::vector<Edit> journal;

    int parse(const std::string& path);
    static std::vector<int64_t> readplaylist(pugi::xml_node playlist, const std::map<int64_t, pugi::xml_node>& tracks);
    bool applyset(int64_t track, const std::string& key, int64_t value);
    bool applyremove(int64_t track, const std::string& key);
    bool changedondisk() const;
};

// Removes the temporary file of a save in progress; safe in a signal handler.
void removesavetemporary();

// The value node for key in a plist <dict>, or an empty node; also empty when
// the key occurs more than once (which value is meant cannot be told).
pugi::xml_node plistvalue(pugi::xml_node dict, const char* key);
bool hasrepeatedkeys(pugi::xml_node dict);

} // namespace ovra
