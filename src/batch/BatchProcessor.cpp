#include "batch/BatchProcessor.h"
#include "batch/DirectoryWalker.h"
#include "batch/DryRun.h"
#include "batch/PlaylistFile.h"
#include "batch/TrackLocations.h"
#include "batch/GenreSet.h"
#include "plist/LibraryLocation.h"
#include "plist/LibraryRules.h"
#include "plist/PListNode.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace ovra::tempix {

namespace {

// The text of a string node; null text reads as empty.
const char* stringText(ovra::PListNode* node)
{
    const char* text = node->asString()->text();
    return text ? text : "";
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

// What a folder batch goes through, in order: a path to walk or take, or a
// line to log (an entry of a playlist that gives no track), or both.
struct FolderSource {
    std::string path;
    std::string line;
    bool error = false; // the line counts as an error
};

std::string printed(const char* f, const std::string& a, const std::string& b = "", long n = 0)
{
    std::vector<char> text(a.size() + b.size() + std::strlen(f) + 32);
    std::snprintf(text.data(), text.size(), f, a.c_str(), b.c_str(), n);
    return text.data();
}

// The entries of the playlist file at path as sources, with a line for each
// one that gives no track. A missing file is a track the user asked for and
// did not get: an error. A stream, a file elsewhere, or a second listing of
// a track are simply not for this batch.
void playlistSources(const std::string& path, ovra::LocationMap& map, std::vector<FolderSource>& out)
{
    auto logged = [](const std::string& text) { return ovra::escapecontrols(text.c_str()); };
    PlaylistContents list = readPlaylist(path.c_str(), &map);
    if (list.error != 0) {
        out.push_back({"",
                       printed("Could not read playlist '%s': %s (errno %ld).\n", logged(path),
                               std::strerror(list.error), list.error),
                       true});
        return;
    }
    out.push_back({"",
                   printed("Reading playlist '%s': %s entries.\n", logged(path), std::to_string(list.entries.size())),
                   false});
    for (const PlaylistEntry& e : list.entries) {
        const std::string text = logged(e.text);
        switch (e.kind) {
        case PlaylistEntry::track:
            out.push_back({e.path, "", false});
            break;
        case PlaylistEntry::missing:
            if (e.error != ENOENT && e.error != ENOTDIR)
                out.push_back(
                    {"",
                     printed("Could not open '%s': %s (errno %ld).\n", logged(e.path), std::strerror(e.error), e.error),
                     true});
            else if (e.path == e.text)
                out.push_back({"", printed("Playlist entry not found: skipping '%s'.\n", text), true});
            else
                out.push_back(
                    {"", printed("Playlist entry not found: skipping '%s' (looked for '%s').\n", text, logged(e.path)),
                     true});
            break;
        case PlaylistEntry::repeated:
            out.push_back({"", printed("Playlist entry listed before: skipping '%s'.\n", text), false});
            break;
        case PlaylistEntry::stream:
            out.push_back({"", printed("Playlist entry is a stream, not a file: skipping '%s'.\n", text), false});
            break;
        case PlaylistEntry::notLocal:
            out.push_back({"", printed("File is not local: skipping '%s'.\n", text), false});
            break;
        case PlaylistEntry::unusable:
            out.push_back({"", printed("Playlist entry cannot be used, %s: skipping '%s'.\n", e.why, text), true});
            break;
        }
    }
}

} // namespace

BatchProcessor::BatchProcessor(BatchDisplay& display) : display(display) {}

std::string BatchProcessor::logged(const char* text) { return ovra::escapecontrols(text); }

void BatchProcessor::logErrorWords(int code)
{
    logLine("Error code %d: %s.\n", code, ovra::errorText(code).c_str());
    if (currentTrack != nullptr)
        currentTrack->addwords(ovra::errorText(code).c_str());
}

BatchProcessor::~BatchProcessor()
{
    threads.cancelall();
    threads.waitall();
    if (logFile != nullptr)
        std::fclose(logFile);
}

void BatchProcessor::setSettings(const BatchSettings& settings) { current = settings; }

int BatchProcessor::start(const BatchSettings& settings, const BatchOptions& options)
{
    if (running())
        return -1;
    current = settings;
    startOptions = options;
    BatchProcessor* self = this;
    unsigned char argument[ThreadGroup::ARGUMENT_BYTES] = {};
    std::memcpy(argument, &self, sizeof self);
    return threads.startthread(&BatchProcessor::workerEntry, argument);
}

void BatchProcessor::workerEntry(void* argument, ovra::Canceler& canceler)
{
    BatchProcessor* self;
    std::memcpy(&self, argument, sizeof self);
    self->runBatch(self->startOptions, canceler);
}

void BatchProcessor::cancelall() { threads.cancelall(); }

void BatchProcessor::waitall() { threads.waitall(); }

bool BatchProcessor::running() { return threads.runningcount() > 0; }

// ---- display and log ----------------------------------------------------------

namespace {
std::string formatted(const char* format, std::va_list args)
{
    std::va_list again;
    va_copy(again, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
        text = small;
    } else if (length >= 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
    }
    va_end(again);
    return text;
}
} // namespace

void BatchProcessor::logLine(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    logText(text.c_str());
}

void BatchProcessor::failTrack(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    reasonLine(formatted(format, args));
    va_end(args);
    ++errors;
}

void BatchProcessor::skipTrack(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    reasonLine(formatted(format, args));
    va_end(args);
}

void BatchProcessor::reasonLine(const std::string& text)
{
    if (currentTrack != nullptr)
        currentTrack->setreason(text.c_str());
    logText(text.c_str());
}

void BatchProcessor::logText(const char* text)
{
    // The track's report takes the entry now: a held entry is written later,
    // when another track may be running.
    if (currentTrack != nullptr)
        currentTrack->addentry(text);
    if (!heldForTurn(text))
        emitLog(text);
}

void BatchProcessor::writeLog(const char* text)
{
    if (logFile != nullptr) {
        std::fputs(text, logFile);
        std::fflush(logFile);
    }
    display.logEntry(text);
}

void BatchProcessor::setProgressRange(int count)
{
    tracksInBatch = count;
    display.setProgressRange(count);
}

void BatchProcessor::setProgressValue(int value) { display.setProgressValue(value); }

void BatchProcessor::setStatus(const char* text)
{
    if (!statusOfJob(text))
        display.setStatusLine(text);
}

void BatchProcessor::finishBatch()
{
    if (sequencer)
        sequencer->finish();
    settleLibrary(true);
    ending = Outcome::finished;
    bool failed = errors.load() != 0;
    display.setFileLine("");
    display.batchEnded(failed ? "There were errors. Check the log file for details." : "Done", failed);
}

void BatchProcessor::abortBatch(const char* message)
{
    stopTracks();
    settleLibrary(true);
    ending = Outcome::aborted;
    display.setFileLine("");
    display.batchEnded(message, errors.load() != 0);
}

void BatchProcessor::openLog()
{
    if (logFile != nullptr) {
        std::fclose(logFile);
        logFile = nullptr;
    }
    char folder[ovra::PATH_BUFFER];
    ovra::logfolder(folder);
    int n = std::snprintf(logFilePath, sizeof logFilePath, "%s/Tempix.log", folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof logFilePath) {
        logFilePath[0] = '\0';
        return; // the batch runs without a log file
    }
    logFile = std::fopen(logFilePath, "a");
}

// ---- the library's part -------------------------------------------------------

// Where the library step reports: the batch's own log, count and status
// line; "iTunes updated." waits for the library's save.
class BatchProcessor::LibrarySink : public ITunesUpdateSink {
public:
    explicit LibrarySink(BatchProcessor& batch) : batch(batch) {}
    void logText(const char* text) override
    {
        last = text;
        batch.logLine("%s", text);
    }
    // A failure's line is the one just logged.
    void countError() override
    {
        ++batch.errors;
        if (batch.currentTrack != nullptr) {
            batch.currentTrack->setlibrary(LibraryOutcome::failed);
            batch.currentTrack->setreason(last.c_str());
        }
    }
    void setStatus(const char* text) override { batch.setStatus(text); }
    void libraryUpdated(const ITunesUpdateInput& in) override
    {
        if (batch.currentTrack != nullptr) {
            batch.currentTrack->addentry("iTunes updated.\n");
            batch.currentTrack->setlibrary(LibraryOutcome::updated);
        }
        batch.held.holdUpdated(in);
    }
    void libraryUpToDate() override
    {
        ITunesUpdateSink::libraryUpToDate();
        if (batch.currentTrack != nullptr)
            batch.currentTrack->setlibrary(LibraryOutcome::upToDate);
    }

private:
    BatchProcessor& batch;
    std::string last;
};

// Where held entries go when they are settled: straight into the log.
class BatchProcessor::DirectLog : public ITunesUpdateSink {
public:
    explicit DirectLog(BatchProcessor& batch) : batch(batch) {}
    void logText(const char* text) override { batch.writeLog(text); }
    void countError() override { ++batch.errors; }
    void setStatus(const char*) override {}

private:
    BatchProcessor& batch;
};

int BatchProcessor::runScript(const char* script, char* reply, size_t size, bool& restarted)
{
    // A helper that died costs the track it died on, not the rest of the
    // batch: the next track starts a new one (once).
    if (!scriptServer.alive() && !restarted) {
        restarted = true;
        settleLibrary(true); // what the dead one had not saved is lost
        scriptServer.start_external();
    }
    return scriptServer.executefromtext(script, reply, size);
}

void BatchProcessor::updateLibrary(const ITunesUpdateInput& input)
{
    LibrarySink sink(*this);
    bool restarted = false;
    updateITunes(
        input,
        [this, &restarted](const char* script, char* reply, size_t size) {
            return runScript(script, reply, size, restarted);
        },
        sink);
}

void BatchProcessor::settleLibrary(bool now)
{
    if (!held.holding())
        return;
    if (!now && LibraryUpdateLog::Clock::now() - held.since() < std::chrono::milliseconds(LIBRARY_SAVE_INTERVAL_MS))
        return;
    DirectLog out(*this);
    const char* lost = "the iTunes library file could not be saved";
    if (!scriptServer.alive()) {
        held.release(out, lost);
        out.logLine("The script helper stopped before it saved the iTunes library file '%s'.\n",
                    logged(helperLibrary).c_str());
        ++errors;
        return;
    }
    setStatus("Saving iTunes database");
    char reply[32] = "";
    int status = scriptServer.executefromtext("tell application \"iTunes\" to save\n", reply, sizeof reply);
    // 0 or the error number of the save; anything else vouches for nothing.
    char* end = nullptr;
    long saveError = std::strtol(reply, &end, 10);
    if (status == 0 && (end == reply || *end != '\0'))
        status = -1;
    if (status == 0 && saveError == 0) {
        held.release(out, nullptr);
        return;
    }
    held.release(out, lost);
    if (status != 0 && status != -1)
        out.logLine("The script helper stopped before it saved the iTunes library file '%s': %s (errno %d).\n",
                    logged(helperLibrary).c_str(), std::strerror(status), status);
    else if (status != 0)
        out.logLine("The script helper could not save the iTunes library file '%s'.\n", logged(helperLibrary).c_str());
    else
        out.logLine("Could not save the iTunes library file '%s': %s (errno %ld).\n", logged(helperLibrary).c_str(),
                    std::strerror(int(saveError)), saveError);
    ++errors;
}

// ---- the batch ----------------------------------------------------------------

void BatchProcessor::runBatch(const BatchOptions& options, ovra::Canceler& canceler)
{
    ending = Outcome::none;
    // The helper works on the library file this batch reads; whether it
    // started shows in the first track's library step.
    libraryFile(helperLibrary);
    scriptServer.setlibraryfile(helperLibrary);
    scriptServer.setlocationmaps(current.locationMaps);
    if (!options.dryRun) // a dry run changes nothing in the library: no helper
        scriptServer.start_external();
    root.reset();
    loadedLibrary[0] = '\0';
    libraryPlaces.clear();
    genreSet.clear();
    if (current.genrepolicy == 1)
        genreSet = buildGenreSet(current.badgenres.c_str());
    else if (current.genrepolicy == 2)
        genreSet = buildGenreSet(current.goodgenres.c_str());
    openLog();
    errors = 0;
    rowsShown = 0;
    tracksInBatch = 0;
    held = LibraryUpdateLog();
    albums.clear();
    std::time_t now = std::time(nullptr);
    logLine("%.24s: Tempix started.\n", std::ctime(&now));
    if (options.dryRun)
        logLine("%s", DRY_RUN_STARTED);

    const int jobs = current.jobs > 0 ? current.jobs : int(std::max(1u, std::thread::hardware_concurrency()));
    if (jobs > 1)
        startJobs(jobs, options, canceler);
    try {
        if (current.source == SOURCE_LIBRARY || current.source == SOURCE_PLAYLIST)
            libraryBranch(options, canceler);
        else
            folderBranch(options, canceler);
    } catch (int code) {
        stopTracks(); // what the workers began is logged first
        logLine("Error while reading iTunes database: error code %d.\n", code);
        logLibraryError(code);
        ++errors;
        abortBatch("Error while reading iTunes database");
    } catch (const std::exception& e) {
        // Not one of our codes (out of memory, for one): end the batch in order.
        stopTracks();
        logLine("Batch stopped by an unexpected error: %s.\n", e.what());
        ++errors;
        abortBatch("Batch stopped by an unexpected error");
    } catch (...) {
        stopTracks();
        logLine("Batch stopped by an unexpected error.\n");
        ++errors;
        abortBatch("Batch stopped by an unexpected error");
    }
    stopTracks(); // cancelled: the tracks begun are logged as far as they got
    sequencer.reset();
    settleLibrary(true); // a cancelled batch too: what reached the library is saved
    if (ending.load() == Outcome::none && canceler.iscancelled()) {
        ending = Outcome::cancelled;
        if (tracksInBatch > 0)
            logLine("Batch cancelled after %d of %d tracks.\n", rowsShown.load(), tracksInBatch);
        else
            logLine("Batch cancelled before its tracks were counted.\n");
    }
    root.reset();
    scriptServer.stop();
}

void BatchProcessor::libraryFile(char* out, std::vector<std::string>* tried) const
{
    std::vector<std::string> places;
    if (!current.libraryFile.empty())
        ovra::strcpy_max(out, ovra::PATH_BUFFER, current.libraryFile.c_str());
    else
        ovra::findLibraryFile(out, tried != nullptr ? *tried : places);
}

void BatchProcessor::loadLibrary(const char* path)
{
    ovra::strcpy_max(loadedLibrary, sizeof loadedLibrary, path);
    if (std::strlen(path) >= ovra::PATH_BUFFER - 1)
        throw ovra::PLIST_ERR_OPEN; // cut short, it would name another file
    root = ovra::readPListFile(path);
}

// The words for a code that ended the batch: what is wrong and where.
void BatchProcessor::logLibraryError(int code)
{
    std::string words = ovra::describeplisterror(code);
    if (code == ovra::PLIST_ERR_OPEN && std::strlen(loadedLibrary) >= ovra::PATH_BUFFER - 1)
        words = "its path is longer than 1023 bytes";
    if (words.empty())
        words = ovra::errorText(code);
    logLine("Library file '%s': %s.\n", logged(loadedLibrary).c_str(), words.c_str());
    if (code == ovra::PLIST_ERR_OPEN && ovra::plistlasterror().error == ENOENT && !libraryPlaces.empty())
        logLibraryPlaces(libraryPlaces);
}

void BatchProcessor::logLibraryPlaces(const std::vector<std::string>& tried)
{
    std::string places;
    for (const std::string& p : tried)
        places += (places.empty() ? "'" : ", '") + logged(p.c_str()) + "'";
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder = config != nullptr && *config != '\0'
        ? config
        : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.config";
    logLine("Looked for the iTunes library file at %s. To use another, choose it with \"Choose File...\" in the "
            "window (kept as the setting \"libraryfile\" in '%s/com.quillfen.tempix.conf'), or name it with "
            "tempix-cli --library-file PATH.\n",
            places.c_str(), logged(folder.c_str()).c_str());
}

// The track a playlist item names and its location; false, and logged, when
// the item or its track cannot be used. Only a library whose structure is
// broken ends the batch; one damaged or online-only track does not.
bool BatchProcessor::playlistTrack(ovra::PListNode* item, ovra::PListDict* tracks, int32_t& id, const char*& location)
{
    try {
        id = item->asDict()->get("Track ID")->asInteger()->value();
    } catch (int code) {
        logLine("A playlist item cannot be read: %s; skipping it.\n", ovra::describeplisterror(code).c_str());
        ++errors;
        return false;
    }
    ovra::PListDict* track = nullptr;
    try {
        track = tracks->get(id)->asDict();
        location = stringText(track->get("Location"));
    } catch (int code) {
        if (code == ovra::PLIST_ERR_NO_KEY && track == nullptr) {
            logLine("Track %d of the playlist is not in the iTunes library: skipping it.\n", id);
            ++errors;
        } else if (code == ovra::PLIST_ERR_NO_KEY) {
            // As with a location that is not a file: nothing here to process.
            logLine("Track %d has no file location (it may be kept online only): skipping it.\n", id);
        } else {
            logLine("Track %d cannot be read from the iTunes library: %s; skipping it.\n", id,
                    ovra::describeplisterror(code).c_str());
            ++errors;
        }
        return false;
    }
    return true;
}

void BatchProcessor::libraryBranch(const BatchOptions& options, ovra::Canceler& canceler)
{
    setStatus("Reading iTunes database");
    char path[ovra::PATH_BUFFER];
    libraryFile(path, &libraryPlaces);
    loadLibrary(path);
    if (canceler.iscancelled())
        return;
    ovra::PListDict* dict = root->asDict();
    ovra::PListArray* playlists = dict->get("Playlists")->asArray();
    ovra::PListDict* tracks = dict->get("Tracks")->asDict();

    ovra::PListNode* chosen = nullptr;
    if (current.source == SOURCE_PLAYLIST) {
        // The name as stored, or with its entity references decoded, so that
        // a name typed by the user finds its playlist too.
        for (int i = 0; i < playlists->count() && chosen == nullptr; ++i) {
            const char* name = stringText(playlists->at(i)->asDict()->get("Name"));
            if (current.playlist == name || current.playlist == ovra::xmldecode(name))
                chosen = playlists->at(i);
        }
        if (chosen == nullptr) {
            logLine("Playlist not found: '%s'.\n", logged(current.playlist.c_str()).c_str());
            ++errors;
            abortBatch("Playlist not found");
            return;
        }
    } else {
        chosen = playlists->at(0);
    }

    ovra::PListArray* items = chosen->asDict()->get("Playlist Items")->asArray();
    TrackLocations locations(current.locationMaps);
    for (const std::string& entry : locations.entries())
        logLine("%s", entry.c_str());
    errors += locations.unusableMappings();
    setProgressRange(items->count());
    for (int i = 0; i < items->count(); ++i) {
        int32_t id = -1;
        const char* location = "";
        if (playlistTrack(items->at(i), tracks, id, location)) {
            TrackLocations::Found file = locations.find(location);
            if (file.usable) {
                runTrack(file.path.c_str(), id, options, canceler, i + 1,
                         [&locations, location, path = file.path](bool failed) {
                             locations.processed(location, path, failed);
                         });
                if (canceler.iscancelled())
                    return;
            } else {
                logLine("%s", file.logEntry.c_str());
                if (file.error)
                    ++errors;
            }
        }
        settleLibrary(false);
    }
    if (!tracksFinished(canceler))
        return;
    writeAlbumGains(options, canceler);
    for (const std::string& line : locations.notFoundHint())
        logLine("%s", line.c_str());
    finishBatch();
}

// The library's tracks by the real path of their files (see RealPaths).
// Tracks that cannot be used here are passed over silently: their files
// are then processed as not in the library.
void BatchProcessor::trackIdsByPath(std::map<std::string, int32_t>& ids)
{
    ovra::PListDict* dict = root->asDict();
    ovra::PListArray* items = dict->get("Playlists")->asArray()->at(0)->asDict()->get("Playlist Items")->asArray();
    ovra::PListDict* tracks = dict->get("Tracks")->asDict();
    RealPaths real;
    TrackLocations locations(current.locationMaps);
    for (const std::string& entry : locations.entries())
        logLine("%s", entry.c_str());
    errors += locations.unusableMappings();
    for (int i = 0; i < items->count(); ++i) {
        try {
            int32_t id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
            const char* location = stringText(tracks->get(id)->asDict()->get("Location"));
            TrackLocations::Found file = locations.find(location);
            if (file.usable)
                ids[real.of(file.path.c_str())] = id; // a later equal path replaces the earlier ID
        } catch (int) {
            // Not usable here: its file counts as not in the library.
        }
    }
}

void BatchProcessor::folderBranch(const BatchOptions& options, ovra::Canceler& canceler)
{
    std::map<std::string, int32_t> trackIds;
    if (options.exportToLibrary) {
        setStatus("Reading iTunes database");
        char path[ovra::PATH_BUFFER];
        libraryFile(path, &libraryPlaces);
        struct stat st;
        if (current.libraryFile.empty() && stat(path, &st) != 0 && errno == ENOENT) {
            // Most systems keep no library file: the tracks simply have no IDs.
            logLine("No iTunes library file found at '%s': processing tracks without library IDs.\n",
                    logged(path).c_str());
            logLibraryPlaces(libraryPlaces);
        } else {
            loadLibrary(path);
            if (canceler.iscancelled())
                return;
            trackIdsByPath(trackIds);
        }
    }

    // The walk starts from real paths, as the library's locations are
    // matched through theirs: a folder given through a link finds its tracks.
    std::vector<std::string> roots = current.source == SOURCE_PLAYLIST_FILE
        ? std::vector<std::string>{current.playlistFile}
        : current.paths.empty() ? std::vector<std::string>{current.path}
                                : current.paths;
    for (std::string& r : roots) {
        char real[PATH_MAX];
        if (::realpath(r.c_str(), real) != nullptr && std::strlen(real) < ovra::PATH_BUFFER)
            r = real;
    }

    // A playlist file stands for the tracks it lists, in its order, found
    // through the same location mappings as the library's.
    std::vector<FolderSource> sources;
    std::optional<TrackLocations> mapped;
    for (const std::string& r : roots) {
        struct stat st;
        if (!isPlaylistFile(r.c_str()) || stat(r.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            sources.push_back({r, "", false});
            continue;
        }
        if (!mapped) {
            mapped.emplace(current.locationMaps);
            if (!root) { // else they were logged with the library
                for (const std::string& entry : mapped->entries())
                    logLine("%s", entry.c_str());
                errors += mapped->unusableMappings();
            }
        }
        playlistSources(r, mapped->locationMap(), sources);
    }

    setStatus("Counting files");
    int count = 0;
    for (const FolderSource& source : sources) {
        if (source.path.empty())
            continue;
        DirectoryWalker walker(DirectoryWalker::SINGLE_FILE);
        walker.start(source.path.c_str());
        for (;;) {
            if (canceler.iscancelled())
                return;
            DirectoryWalker* entry = walker.next();
            if (entry == nullptr)
                break;
            if (isAudioFile(entry->path()))
                ++count;
        }
    }

    setProgressRange(count);
    int done = 0;
    for (const FolderSource& source : sources) {
        if (!source.line.empty()) {
            logLine("%s", source.line.c_str());
            if (source.error)
                ++errors;
        }
        if (source.path.empty())
            continue;
        const std::string& r = source.path;
        struct stat st;
        if (stat(r.c_str(), &st) != 0) {
            int e = errno;
            logLine("Could not open '%s': %s (errno %d).\n", logged(r.c_str()).c_str(), std::strerror(e), e);
            ++errors;
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !isAudioFile(r.c_str())) {
            logLine("Not an MP3, M4A, FLAC, Ogg or Opus file: skipping '%s'.\n", logged(r.c_str()).c_str());
            ++errors;
            continue;
        }
        DirectoryWalker walker(DirectoryWalker::SINGLE_FILE);
        walker.setReporter([this](DirectoryWalker::Skip what, const char* folder, const char* name, int error) {
            if (what == DirectoryWalker::Skip::unreadableFolder)
                logLine("Could not read folder '%s': %s (errno %d).\n", logged(folder).c_str(), std::strerror(error),
                        error);
            else if (what == DirectoryWalker::Skip::pathTooLong && *name != '\0')
                logLine("Path longer than 1023 bytes: skipping '%s/%s'.\n", logged(folder).c_str(),
                        logged(name).c_str());
            else if (what == DirectoryWalker::Skip::pathTooLong)
                logLine("Path longer than 1023 bytes: skipping the folder '%s'.\n", logged(folder).c_str());
            else
                logLine("Folder more than 16 levels deep: skipping '%s'.\n", logged(folder).c_str());
            ++errors;
        });
        walker.start(r.c_str());
        for (;;) {
            if (canceler.iscancelled())
                return;
            setStatus("Looking for next file");
            DirectoryWalker* entry = walker.next();
            if (entry == nullptr)
                break;
            if (!isAudioFile(entry->path()))
                continue;
            auto known = trackIds.find(entry->path());
            int32_t id = known == trackIds.end() ? -1 : known->second;
            runTrack(entry->path(), id, options, canceler, ++done);
            if (canceler.iscancelled())
                return;
            settleLibrary(false);
        }
    }
    if (!tracksFinished(canceler))
        return;
    writeAlbumGains(options, canceler);
    finishBatch();
}

} // namespace ovra::tempix
