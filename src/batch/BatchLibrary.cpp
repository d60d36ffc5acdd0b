#include "batch/BatchLibrary.h"
#include "batch/TrackLocations.h"
#include "plist/LibraryLocation.h"
#include "plist/LibraryRules.h"
#include "platform/tools_strings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {

// The text of a string node; null text reads as empty.
const char* stringText(ovra::PListNode* node)
{
    const char* text = node->asString()->text();
    return text ? text : "";
}

int32_t integerOf(ovra::PListDict* track, const char* key)
{
    try {
        return track->get(key)->asInteger()->value();
    } catch (int) {
        return 0; // absent or not an integer: the library holds nothing for it
    }
}

// Where a folder batch finds a file's track ID: the library's location with
// the links in its folder resolved, as the walk's paths are (it starts from
// a real path and follows no links). Folders are resolved once each.
class RealPaths {
public:
    std::string of(const char* path)
    {
        const char* slash = std::strrchr(path, '/');
        if (slash == nullptr || slash == path)
            return path;
        std::string folder(path, size_t(slash - path));
        auto known = folders.find(folder);
        if (known == folders.end()) {
            char real[PATH_MAX];
            known =
                folders.emplace(folder, ::realpath(folder.c_str(), real) != nullptr ? std::string(real) : folder).first;
        }
        return known->second + slash;
    }

private:
    std::map<std::string, std::string> folders;
};

std::string textOf(ovra::PListDict* track, const char* key)
{
    try {
        return track->contains(key) ? stringText(track->get(key)) : "";
    } catch (int) {
        return ""; // not a string: the row shows the file alone
    }
}

} // namespace

void BatchLibrary::clear()
{
    root.reset();
    loadedFile[0] = '\0';
    places.clear();
}

void BatchLibrary::file(char* out, std::vector<std::string>* tried) const
{
    std::vector<std::string> ignored;
    if (!settings.libraryFile.empty())
        ovra::strcpy_max(out, ovra::PATH_BUFFER, settings.libraryFile.c_str());
    else
        ovra::findLibraryFile(out, tried != nullptr ? *tried : ignored);
}

bool BatchLibrary::found(char* path)
{
    file(path, &places);
    struct stat st;
    // Most systems keep no library file: only one named must be there.
    return !(settings.libraryFile.empty() && stat(path, &st) != 0 && errno == ENOENT);
}

void BatchLibrary::load()
{
    char path[ovra::PATH_BUFFER];
    file(path, &places);
    ovra::strcpy_max(loadedFile, sizeof loadedFile, path);
    if (std::strlen(path) >= ovra::PATH_MAX_BYTES)
        throw ovra::PLIST_ERR_OPEN; // cut short, it would name another file
    root = ovra::readPListFile(path);
}

ovra::PListArray* BatchLibrary::playlistItems()
{
    ovra::PListDict* dict = root->asDict();
    ovra::PListArray* playlists = dict->get("Playlists")->asArray();
    dict->get("Tracks")->asDict(); // a library without its tracks is broken
    ovra::PListNode* chosen = nullptr;
    if (settings.source == SOURCE_PLAYLIST) {
        // The name as stored, or with its entity references decoded, so that
        // a name typed by the user finds its playlist too.
        for (int i = 0; i < playlists->count() && chosen == nullptr; ++i) {
            const char* name = stringText(playlists->at(i)->asDict()->get("Name"));
            if (settings.playlist == name || settings.playlist == ovra::xmldecode(name))
                chosen = playlists->at(i);
        }
        if (chosen == nullptr) {
            log.line("Playlist not found: '%s'.\n", BatchLog::logged(settings.playlist.c_str()).c_str());
            ++log.errors();
            return nullptr;
        }
    } else {
        chosen = playlists->at(0);
    }
    return chosen->asDict()->get("Playlist Items")->asArray();
}

ovra::PListDict* BatchLibrary::entry(int32_t id) const
{
    return root->asDict()->get("Tracks")->asDict()->get(id)->asDict();
}

// Only a library whose structure is broken ends the batch; one damaged or
// online-only track does not.
bool BatchLibrary::playlistTrack(ovra::PListNode* item, int32_t& id, const char*& location)
{
    try {
        id = item->asDict()->get("Track ID")->asInteger()->value();
    } catch (int code) {
        log.line("A playlist item cannot be read: %s; skipping it.\n", ovra::describeplisterror(code).c_str());
        ++log.errors();
        return false;
    }
    ovra::PListDict* track = nullptr;
    try {
        track = entry(id);
        location = stringText(track->get("Location"));
    } catch (int code) {
        if (code == ovra::PLIST_ERR_NO_KEY && track == nullptr) {
            log.line("Track %d of the playlist is not in the iTunes library: skipping it.\n", id);
            ++log.errors();
        } else if (code == ovra::PLIST_ERR_NO_KEY) {
            // As with a location that is not a file: nothing here to process.
            log.line("Track %d has no file location (it may be kept online only): skipping it.\n", id);
        } else {
            log.line("Track %d cannot be read from the iTunes library: %s; skipping it.\n", id,
                     ovra::describeplisterror(code).c_str());
            ++log.errors();
        }
        return false;
    }
    return true;
}

// Tracks that cannot be used here are passed over silently: their files
// are then processed as not in the library.
void BatchLibrary::trackIdsByPath(std::map<std::string, int32_t>& ids)
{
    ovra::PListArray* items =
        root->asDict()->get("Playlists")->asArray()->at(0)->asDict()->get("Playlist Items")->asArray();
    root->asDict()->get("Tracks")->asDict();
    RealPaths real;
    TrackLocations locations(settings.locationMaps);
    for (const std::string& line : locations.entries())
        log.line("%s", line.c_str());
    log.errors() += locations.unusableMappings();
    for (int i = 0; i < items->count(); ++i) {
        try {
            int32_t id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
            TrackLocations::Found file = locations.find(stringText(entry(id)->get("Location")));
            if (file.usable)
                ids[real.of(file.path.c_str())] = id; // a later equal path replaces the earlier ID
        } catch (int) {
            // Not usable here: its file counts as not in the library.
        }
    }
}

LibraryValues BatchLibrary::values(int32_t trackId) const
{
    LibraryValues v;
    if (root == nullptr || trackId < 0)
        return v;
    ovra::PListDict* track = nullptr;
    try {
        track = entry(trackId);
    } catch (int code) {
        if (code == ovra::PLIST_ERR_REPEATED_KEY)
            v.ambiguity = ovra::describeplisterror(code);
        return v;
    }
    // The helper reads the same file by the same rules (plist/LibraryRules.h):
    // what one of them could read otherwise is not guessed at.
    if (const char* key = track->repeatedkey()) {
        v.ambiguity = std::string("the key \"") + key + "\" occurs more than once in its entry";
        return v;
    }
    v.name = textOf(track, "Name");
    v.artist = textOf(track, "Artist");
    v.start = integerOf(track, "Start Time");
    v.stop = integerOf(track, "Stop Time");
    v.volume = integerOf(track, "Volume Adjustment");
    v.bpm = integerOf(track, "BPM");
    if (track->contains("Persistent ID")) {
        const ovra::PListString* text = nullptr;
        try {
            text = track->get("Persistent ID")->asString();
        } catch (int) {
            text = nullptr; // not a string: malformed, as below
        }
        uint64_t id = 0;
        if (text == nullptr || !ovra::parsepersistentid(text->text(), text->length(), id))
            v.ambiguity = "its persistent ID is not 1 to 16 hexadecimal digits";
        else
            v.persistentId = id;
    }
    return v;
}

void BatchLibrary::logError(int code)
{
    std::string words = ovra::describeplisterror(code);
    if (code == ovra::PLIST_ERR_OPEN && std::strlen(loadedFile) >= ovra::PATH_MAX_BYTES)
        words = "its path is longer than " + std::to_string(ovra::PATH_MAX_BYTES) + " bytes";
    if (words.empty())
        words = ovra::errorText(code);
    log.line("Library file '%s': %s.\n", BatchLog::logged(loadedFile).c_str(), words.c_str());
    if (code == ovra::PLIST_ERR_OPEN && ovra::plistlasterror().error == ENOENT && !places.empty())
        logPlaces();
}

void BatchLibrary::logPlaces()
{
    std::string tried;
    for (const std::string& p : places)
        tried += (tried.empty() ? "'" : ", '") + BatchLog::logged(p.c_str()) + "'";
    log.line("Looked for the iTunes library file at %s. To use another, choose it with \"Choose File...\" in the "
             "window (kept as the setting \"libraryfile\" in '%s/com.quillfen.tempix.conf'), or name it with "
             "tempix-cli --library-file PATH.\n",
             tried.c_str(), BatchLog::logged(ovra::configfolder().c_str()).c_str());
}

} // namespace ovra::tempix
