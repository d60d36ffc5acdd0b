#include "script/LibraryHost.h"
#include "platform/ErrorCodes.h"
#include "plist/LibraryLocation.h"
#include "plist/LibraryRules.h"
#include "plist/LocationMap.h"
#include "platform/tools_paths.h"
#include "tags/Tag.h"
#include "tags/VolumeScale.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace ovra {

namespace {

std::string& configuredlibrary()
{
    static std::string path;
    return path;
}

LocationMap& locationmap()
{
    static LocationMap map;
    return map;
}

// The path of a track's location; empty when it is no local file here.
std::string locationtopath(const std::string& location)
{
    LocationMap::Resolved r = locationmap().resolve(location.c_str());
    return r.status == LocationMap::LOCAL ? r.path : std::string();
}

struct TrackTagValues {
    int bpm = 0; // 0: none
    bool hasvolume = false;
    int rva = 0;
};

// What a refresh takes from the track's file, read through the tag layer
// without writing: the tempo and, where the tag carries one (ID3), the
// relative volume. 0, SCRIPT_FILE_NOT_FOUND, or SCRIPT_APP_FAILED for a file
// whose tag cannot be read.
int readtracktag(const std::string& path, TrackTagValues& values)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return SCRIPT_FILE_NOT_FOUND;
    std::unique_ptr<Tag> tag;
    try {
        tag = openTag(path.c_str(), true);
    } catch (int) {
        return SCRIPT_APP_FAILED;
    }
    try {
        values.bpm = std::max(0, tag->getBPM());
    } catch (int) {
        values.bpm = 0; // no tempo in the tag
    }
    try {
        values.rva = tag->getRVA();
        values.hasvolume = true;
    } catch (int) {
        values.hasvolume = false; // none, or none this kind of tag can hold
    }
    return 0;
}

double number(const ScriptValue& v)
{
    if (!v.isnumber() || !std::isfinite(v.number()))
        throw SCRIPT_CANT_MAKE;
    return v.number();
}

} // namespace

void setlibraryfile(const char* path) { configuredlibrary() = path != nullptr ? path : ""; }

void addlocationmap(const char* spec) { locationmap().add(spec != nullptr ? spec : ""); }

std::string libraryfile()
{
    if (!configuredlibrary().empty())
        return configuredlibrary();
    char path[PATH_BUFFER];
    findLibraryFile(path);
    return path;
}

LibraryHost::LibraryHost() = default;

LibraryHost::~LibraryHost() { finish(); }

const ScriptTerms& LibraryHost::terms() const
{
    static const ScriptTerms t{
        {"playlist", "track", "file track"},
        {"persistent id", "database id", "name", "start", "finish", "volume adjustment", "bpm", "location"},
        {"refresh", "save"}};
    return t;
}

LibraryDocument& LibraryHost::library()
{
    if (!doc.loaded()) {
        int e = doc.load(libraryfile());
        if (e != 0)
            throw e;
    }
    return doc;
}

bool LibraryHost::isfiletrack(int64_t id) const
{
    std::string type;
    if (doc.getstring(id, "Track Type", type))
        return type == "File";
    std::string location;
    return doc.getstring(id, "Location", location) && location.compare(0, 7, "file://") == 0;
}

int64_t LibraryHost::trackof(const ScriptValue& object)
{
    if (object.kind != ScriptValue::OBJECT || object.app != this ||
        (object.text != "file track" && object.text != "track"))
        throw SCRIPT_CANT_MAKE;
    if (!library().hastrack(object.integer))
        throw SCRIPT_CANT_GET; // deleted since it was found
    return object.integer;
}

ScriptValue LibraryHost::element(const ScriptValue& container, const std::string& cls, int64_t index)
{
    LibraryDocument& lib = library();
    if (container.kind == ScriptValue::APPLICATION && cls == "playlist") {
        int n = lib.playlistcount();
        int64_t k = index > 0 ? index : n + index + 1;
        if (index == 0 || k < 1 || k > n)
            throw SCRIPT_CANT_GET;
        return ScriptValue::ofobject(this, "playlist", k);
    }
    if (container.kind == ScriptValue::OBJECT && container.text == "playlist" &&
        (cls == "track" || cls == "file track")) {
        ScriptValue all = elements(container, cls, nullptr);
        int64_t n = static_cast<int64_t>(all.items.size());
        int64_t k = index > 0 ? index - 1 : n + index;
        if (index == 0 || k < 0 || k >= n)
            throw SCRIPT_CANT_GET;
        return all.items[static_cast<size_t>(k)];
    }
    throw SCRIPT_CANT_GET;
}

ScriptValue LibraryHost::elements(const ScriptValue& container, const std::string& cls, const ScriptWhose* whose)
{
    LibraryDocument& lib = library();
    std::vector<ScriptValue> found;
    if (container.kind == ScriptValue::APPLICATION && cls == "playlist") {
        if (whose != nullptr)
            throw SCRIPT_CANT_GET;
        for (int i = 1; i <= lib.playlistcount(); ++i)
            found.push_back(ScriptValue::ofobject(this, "playlist", i));
        return ScriptValue::oflist(std::move(found));
    }
    if (container.kind != ScriptValue::OBJECT || container.app != this || container.text != "playlist" ||
        (cls != "track" && cls != "file track"))
        throw SCRIPT_CANT_GET;
    int playlist = static_cast<int>(container.integer);
    // The batch's selectors go straight to their track through the indexes:
    // the first test by persistent ID or database ID picks the candidates,
    // every test must then hold for each.
    std::vector<int64_t> candidates;
    const std::vector<int64_t>* ids = &lib.playlisttracks(playlist);
    const ScriptWhoseTest* indexed = nullptr;
    uint64_t wanted = 0;
    if (whose != nullptr) {
        for (const ScriptWhoseTest& t : whose->tests) {
            if (!t.negate &&
                ((t.property == "persistent id" && t.value.kind == ScriptValue::TEXT &&
                  parsepersistentid(t.value.text.data(), t.value.text.size(), wanted)) ||
                 (t.property == "database id" && t.value.kind == ScriptValue::INTEGER))) {
                indexed = &t;
                break;
            }
        }
    }
    if (indexed != nullptr) {
        if (indexed->property == "persistent id")
            candidates = lib.trackswithpersistentid(wanted);
        else
            candidates.push_back(indexed->value.integer);
        std::vector<std::pair<long, int64_t>> placed;
        for (int64_t id : candidates) {
            long at = lib.playlistposition(playlist, id);
            if (at >= 0)
                placed.emplace_back(at, id);
        }
        std::sort(placed.begin(), placed.end());
        candidates.clear();
        for (const auto& p : placed)
            candidates.push_back(p.second);
        ids = &candidates;
    }
    for (int64_t id : *ids) {
        if (cls == "file track" && !isfiletrack(id))
            continue;
        ScriptValue track = ScriptValue::ofobject(this, cls, id);
        bool all = true;
        for (size_t k = 0; whose != nullptr && all && k < whose->tests.size(); ++k)
            all = matches(track, whose->tests[k]);
        if (all)
            found.push_back(track);
    }
    return ScriptValue::oflist(std::move(found));
}

bool LibraryHost::matches(const ScriptValue& track, const ScriptWhoseTest& test)
{
    bool match;
    if (test.property == "persistent id") {
        // By value: "00AB" and "00000000000000AB" are the same ID.
        std::string mine;
        uint64_t a = 0, b = 0;
        if (!library().getstring(track.integer, "Persistent ID", mine))
            match = false;
        else if (test.value.kind == ScriptValue::TEXT && parsepersistentid(mine.data(), mine.size(), a) &&
                 parsepersistentid(test.value.text.data(), test.value.text.size(), b))
            match = a == b;
        else
            match = scriptequal(ScriptValue::oftext(mine), test.value);
    } else {
        match = scriptequal(getproperty(track, test.property), test.value);
    }
    return match != test.negate;
}

ScriptValue LibraryHost::getproperty(const ScriptValue& object, const std::string& property)
{
    LibraryDocument& lib = library();
    if (object.kind == ScriptValue::OBJECT && object.app == this && object.text == "playlist") {
        if (property == "name")
            return ScriptValue::oftext(lib.playlistname(static_cast<int>(object.integer)));
        throw SCRIPT_CANT_GET;
    }
    int64_t id = trackof(object);
    int64_t n = 0;
    std::string s;
    if (property == "database id")
        return ScriptValue::ofinteger(id);
    if (property == "persistent id")
        return ScriptValue::oftext(lib.getstring(id, "Persistent ID", s) ? s : "");
    if (property == "name")
        return ScriptValue::oftext(lib.getstring(id, "Name", s) ? s : "");
    if (property == "start")
        return ScriptValue::ofreal(lib.getinteger(id, "Start Time", n) ? n / 1000.0 : 0.0);
    if (property == "finish") {
        if (!lib.getinteger(id, "Stop Time", n))
            lib.getinteger(id, "Total Time", n);
        return ScriptValue::ofreal(n / 1000.0);
    }
    if (property == "volume adjustment")
        return ScriptValue::ofinteger(lib.getinteger(id, "Volume Adjustment", n) ? libraryvolumetopercent(n) : 0);
    if (property == "bpm")
        return ScriptValue::ofinteger(lib.getinteger(id, "BPM", n) ? n : 0);
    if (property == "location") {
        if (!lib.getstring(id, "Location", s) || locationtopath(s).empty())
            throw SCRIPT_CANT_GET;
        return ScriptValue::offile(locationtopath(s));
    }
    throw SCRIPT_CANT_GET;
}

void LibraryHost::setproperty(const ScriptValue& object, const std::string& property, const ScriptValue& value)
{
    int64_t id = trackof(object);
    LibraryDocument& lib = library();
    if (property != "start" && property != "finish" && property != "volume adjustment" && property != "bpm")
        throw SCRIPT_CANT_SET;
    double v = number(value);
    const char* key;
    int64_t stored;
    if (property == "start" || property == "finish") {
        if (v < 0 || v * 1000.0 > 2147483647.0)
            throw SCRIPT_CANT_SET;
        key = property == "start" ? "Start Time" : "Stop Time";
        stored = std::llround(v * 1000.0);
    } else if (property == "volume adjustment") {
        if (v < -100 || v > 100)
            throw SCRIPT_CANT_SET;
        key = "Volume Adjustment";
        stored = percenttolibraryvolume(v);
    } else if (property == "bpm") {
        if (v < 0 || v > 65535)
            throw SCRIPT_CANT_SET;
        key = "BPM";
        stored = std::llround(v);
    } else {
        throw SCRIPT_CANT_SET;
    }
    // As the library itself does, a value of 0 is an absent one.
    if (stored == 0)
        lib.removekey(id, key);
    else
        lib.setinteger(id, key, stored);
    changed();
}

ScriptValue LibraryHost::command(const std::string& name, const ScriptValue* direct)
{
    // "save": every change so far is in the library file when it returns 0;
    // else it returns the error number of the failed save (the changes stay
    // pending and are tried again).
    if (name == "save" && direct == nullptr) {
        if (doc.dirty())
            trysave();
        return ScriptValue::ofinteger(doc.dirty() ? (saveerror != 0 ? saveerror : EIO) : 0);
    }
    if (name != "refresh" || direct == nullptr)
        throw SCRIPT_NOT_UNDERSTOOD;
    if (direct->kind == ScriptValue::LIST) {
        for (const ScriptValue& t : direct->items)
            refresh(trackof(t));
    } else {
        refresh(trackof(*direct));
    }
    return ScriptValue::nothing();
}

void LibraryHost::refresh(int64_t id)
{
    LibraryDocument& lib = library();
    std::string location;
    if (!lib.getstring(id, "Location", location))
        throw SCRIPT_FILE_NOT_FOUND;
    std::string path = locationtopath(location);
    if (path.empty())
        throw SCRIPT_FILE_NOT_FOUND;
    TrackTagValues tag;
    if (int e = readtracktag(path, tag))
        throw e;
    // A file without a tempo says nothing about the library's: a run that was
    // not asked for the BPM must not erase it.
    if (tag.bpm > 0)
        lib.setinteger(id, "BPM", tag.bpm);
    if (tag.hasvolume) {
        int volume = rvatolibraryvolume(tag.rva);
        if (volume != 0)
            lib.setinteger(id, "Volume Adjustment", volume);
        else
            lib.removekey(id, "Volume Adjustment");
    }
    changed();
}

void LibraryHost::changed()
{
    if (!doc.dirty())
        return;
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(SAVE_DELAY_MS);
    // The first unsaved change sets the time; later ones do not push it back.
    if (savedue == std::chrono::steady_clock::time_point() || savedue > due)
        savedue = due;
}

int LibraryHost::idletimeout()
{
    if (!doc.dirty())
        return -1;
    if (savedue == std::chrono::steady_clock::time_point())
        changed();
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(savedue - std::chrono::steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

void LibraryHost::idle() { trysave(); }

void LibraryHost::trysave()
{
    saveerror = doc.save();
    savedue = {};
    if (saveerror != 0 && doc.dirty()) {
        // Try again later; the old file stays as it was.
        savedue = std::chrono::steady_clock::now() + std::chrono::milliseconds(SAVE_DELAY_MS);
    }
}

void LibraryHost::finish()
{
    if (doc.dirty())
        trysave();
}

} // namespace ovra
