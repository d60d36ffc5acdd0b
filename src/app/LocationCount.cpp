#include "app/LocationCount.h"
#include "app/LibraryMessages.h"
#include "plist/LocationMap.h"
#include "plist/PListReader.h"
#include "platform/tools_strings.h"

#include <QMetaObject>

#include <sys/stat.h>

namespace ovra::tempix {

std::vector<std::string> librarylocations(const std::string& libraryPath, std::string& trouble)
{
    std::vector<std::string> locations;
    trouble.clear();
    try {
        ovra::PListReader reader(libraryPath.c_str());
        std::unique_ptr<ovra::PListDict> root = reader.readRoot();
        ovra::PListDict* tracks = root->get("Tracks")->asDict();
        ovra::PListArray* items = root->get("Playlists")->asArray()->at(0)->asDict()->get("Playlist Items")->asArray();
        for (int i = 0; i < items->count(); ++i) {
            try {
                const int32_t id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
                const char* text = tracks->get(id)->asDict()->get("Location")->asString()->text();
                if (text != nullptr)
                    locations.push_back(text);
            } catch (int) {
                // A track without a file here to count, as the batch passes it over.
            }
        }
    } catch (int code) {
        trouble = librarytrouble(code, libraryPath);
        locations.clear();
    } catch (const std::bad_alloc&) {
        trouble = "The library file " + libraryPath + " is too large to read here.";
        locations.clear();
    }
    return locations;
}

LocationTally tallylocations(const std::vector<std::string>& locations, const std::vector<std::string>& maps,
                             const std::function<bool()>& abandoned)
{
    ovra::LocationMap map;
    for (const std::string& spec : maps)
        map.add(spec);
    LocationTally tally;
    std::vector<std::string> missing, lookedFor;
    for (size_t i = 0; i < locations.size(); ++i) {
        if (i % 256 == 0 && abandoned())
            return tally;
        const std::string& location = locations[i];
        if (!ovra::startswithci(location, "file:"))
            continue; // a stream is no file to find
        ++tally.total;
        const ovra::LocationMap::Resolved r = map.resolve(location.c_str());
        struct stat st;
        if (r.status == ovra::LocationMap::LOCAL && stat(r.path.c_str(), &st) == 0) {
            ++tally.found;
            continue;
        }
        missing.push_back(location);
        if (r.mapped && !r.path.empty())
            lookedFor.push_back(r.path);
    }
    tally.missingPrefix = ovra::commonlocationprefix(missing);
    tally.lookedIn = ovra::commonlocationprefix(lookedFor);
    return tally;
}

std::string prefixaspath(const std::string& prefix)
{
    std::string key;
    bool windows = false;
    if (!ovra::comparableprefix(prefix, key, windows) || key.empty())
        return prefix;
    if (windows && key.size() >= 3 && key[0] == '/' && key[2] == ':')
        key.erase(0, 1); // "/C:/Users" reads as "C:/Users"
    if (key.back() != '/' && !prefix.empty() && prefix.back() == '/')
        key += '/';
    return key;
}

LocationCount::LocationCount(QObject* context_, Done done_) : context(context_), done(std::move(done_))
{
    worker = std::thread([this] { work(); });
}

LocationCount::~LocationCount()
{
    {
        std::lock_guard<std::mutex> hold(mutex);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

void LocationCount::count(const std::string& libraryPath, const std::vector<std::string>& maps_)
{
    {
        std::lock_guard<std::mutex> hold(mutex);
        ++latest;
        library = libraryPath;
        maps = maps_;
        pending = true;
    }
    wake.notify_all();
}

bool LocationCount::busy()
{
    std::lock_guard<std::mutex> hold(mutex);
    return pending || running;
}

void LocationCount::work()
{
    std::string loadedPath, loadTrouble;
    std::vector<std::string> locations;
    bool loaded = false;
    for (;;) {
        uint64_t id;
        std::string path;
        std::vector<std::string> mappings;
        {
            std::unique_lock<std::mutex> hold(mutex);
            wake.wait(hold, [this] { return stopping || pending; });
            if (stopping)
                return;
            pending = false;
            running = true;
            id = latest;
            path = library;
            mappings = maps;
        }
        if (!loaded || path != loadedPath) {
            locations = librarylocations(path, loadTrouble);
            loadedPath = path;
            loaded = true;
        }
        auto abandoned = [this, id] {
            std::lock_guard<std::mutex> hold(mutex);
            return stopping || id != latest;
        };
        LocationTally tally;
        if (loadTrouble.empty())
            tally = tallylocations(locations, mappings, abandoned);
        else
            tally.trouble = loadTrouble;
        std::lock_guard<std::mutex> hold(mutex);
        running = false;
        if (stopping || id != latest)
            continue;
        // Posted, never waited for: the display thread may be waiting for us.
        Done callback = done;
        QMetaObject::invokeMethod(
            context, [callback, tally] { callback(tally); }, Qt::QueuedConnection);
    }
}

} // namespace ovra::tempix
