#include "app/SavedSettings.h"
#include "platform/tools_paths.h"

#include <algorithm>

namespace ovra::tempix {

const char* const PREFERENCE_DOMAIN = "com.quillfen.tempix";
const char* const DEFAULT_BADGENRES =
    "Podcast, Speech, Books & Spoken,\nClassical, Opera, Chamber Music, Sonata, Symphony";

namespace {

// Room for every mapping's text, one a line.
constexpr size_t LOCATION_MAPS_SIZE = 65536;

struct FlagKey {
    const char* key;
    bool BatchOptions::*field;
    bool fallback;
};

// In the order of the main window's checkboxes.
const FlagKey FLAG_KEYS[] = {
    {"detectbpm", &BatchOptions::detectbpm, true},
    {"overwritebpm", &BatchOptions::overwritebpm, false},
    {"optimizetimes", &BatchOptions::optimizetimes, false},
    {"lessintro", &BatchOptions::lessintro, false},
    {"overwritetimes", &BatchOptions::overwritetimes, false},
    {"adjustvolume", &BatchOptions::adjustvolume, false},
    {"overwritevolume", &BatchOptions::overwritevolume, false},
    {"export", &BatchOptions::exportToLibrary, true},
    {"reprocess", &BatchOptions::reprocess, false},
};

std::string readString(PreferenceStore& store, const char* key, size_t size)
{
    std::string buffer(size, '\0');
    store.getString(key, buffer.data(), size);
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

} // namespace

void loadSettings(PreferenceStore& store, BatchSettings& settings, BatchOptions& options)
{
    try {
        settings.source = store.getInt("source");
    } catch (int) {
        settings.source = SOURCE_MUSIC_FOLDER;
    }
    try {
        settings.path = readString(store, "path", ovra::PATH_BUFFER);
    } catch (int) {
        settings.path.clear();
    }
    try {
        settings.playlist = readString(store, "playlist", 80);
    } catch (int) {
        settings.playlist.clear();
    }
    try {
        settings.playlistFile = readString(store, "playlistfile", ovra::PATH_BUFFER);
    } catch (int) {
        settings.playlistFile.clear();
    }
    for (const FlagKey& flag : FLAG_KEYS) {
        try {
            options.*flag.field = store.getInt(flag.key) != 0;
        } catch (int) {
            options.*flag.field = flag.fallback;
        }
    }
    try {
        const int mode = store.getInt("replaygain"); // 0 off, 1 the track's, 2 the album's too
        options.replaygain = mode == 2 ? ReplayGainMode::album
            : mode == 1                ? ReplayGainMode::track
                                       : ReplayGainMode::off;
    } catch (int) {
        options.replaygain = ReplayGainMode::off;
    }
    try {
        settings.jobs = std::max(0, store.getInt("jobs"));
    } catch (int) {
        settings.jobs = 0; // one per core
    }
    try {
        settings.libraryFile = readString(store, "libraryfile", ovra::PATH_BUFFER);
    } catch (int) {
        settings.libraryFile.clear();
    }
    try {
        int policy = store.getInt("genrepolicy");
        std::string bad = readString(store, "badgenres", 2048);
        std::string good = readString(store, "goodgenres", 2048);
        settings.genrepolicy = GenrePolicy(policy);
        settings.badgenres = bad;
        settings.goodgenres = good;
    } catch (int) {
        settings.genrepolicy = GENRES_SKIP_BAD;
        settings.badgenres = DEFAULT_BADGENRES;
        settings.goodgenres.clear();
    }
    settings.locationMaps = loadLocationMaps(store);
}

std::vector<std::string> loadLocationMaps(PreferenceStore& store)
{
    std::vector<std::string> maps;
    std::string text;
    try {
        text = readString(store, "locationmaps", LOCATION_MAPS_SIZE);
    } catch (int) {
        return maps;
    }
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (end > at)
            maps.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return maps;
}

void saveSettings(PreferenceStore& store, const BatchSettings& settings, const BatchOptions& options)
{
    try {
        store.setInt("source", settings.source);
        store.setString("path", settings.path.c_str());
        store.setString("playlist", settings.playlist.c_str());
        store.setString("playlistfile", settings.playlistFile.c_str());
        for (const FlagKey& flag : FLAG_KEYS)
            store.setInt(flag.key, options.*flag.field ? 1 : 0);
        store.setInt("replaygain", int(options.replaygain));
        store.setInt("genrepolicy", settings.genrepolicy);
        store.setString("badgenres", settings.badgenres.c_str());
        store.setString("goodgenres", settings.goodgenres.c_str());
        store.setString("libraryfile", settings.libraryFile.c_str());
        store.setInt("jobs", settings.jobs);
        std::string maps;
        for (const std::string& m : settings.locationMaps)
            if (m.find('\n') == std::string::npos)
                maps += m + "\n";
        store.setString("locationmaps", maps.c_str());
        store.synchronize();
    } catch (...) {
        // A store that cannot be written costs the next start its settings,
        // never the work at hand.
    }
}

} // namespace ovra::tempix
