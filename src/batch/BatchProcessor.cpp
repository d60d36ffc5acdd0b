#include "batch/BatchProcessor.h"
#include "batch/DirectoryWalker.h"
#include "batch/GenreSet.h"
#include "batch/TrackDataRecord.h"
#include "plist/LibraryLocation.h"
#include "plist/LibraryRules.h"
#include "plist/PListNode.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"
#include "tags/Tag.h"
#include "tags/VolumeScale.h"

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
#include <sys/stat.h>
#include <vector>

namespace ovra::tempix {

namespace {

// A stored analysis that can stand for a fresh one. A beat period of 0 would
// divide by zero in the tempo formula, so such a record is analysed again.
bool reusable(const TrackDataRecord& r)
{
    const TrackAnalysis& a = r.analysis;
    return r.hasAnalysis() && a.sampleRate >= 11050 &&
           double(a.frameCount) / double(a.sampleRate) >= 4.0 && a.loudness != 0 && a.peakLevel != 0 &&
           a.startPeriod != 0 && a.endPeriod != 0 && a.beatPeriod != 0;
}

// The text of a string node; null text reads as empty.
const char* stringText(ovra::PListNode* node)
{
    const char* text = node->asString()->text();
    return text ? text : "";
}

// A path, name or other text of a file as it goes into the log: on its one line.
std::string logged(const char* text)
{
    return ovra::escapecontrols(text);
}

// Values the library holds for a track; each 0 when it cannot be read.
struct LibraryValues {
    int32_t start = 0;
    int32_t stop = 0;
    int32_t volume = 0;
    int32_t bpm = 0;
    unsigned long long persistentId = 0;
    // Why the track's entry cannot be told apart from another's; empty when it can.
    std::string ambiguity;
};

int32_t integerOf(ovra::PListDict* track, const char* key)
{
    try {
        return track->get(key)->asInteger()->value();
    } catch (int) {
        return 0;
    }
}

LibraryValues libraryValues(ovra::PListNode* root, int32_t trackId)
{
    LibraryValues v;
    if (root == nullptr || trackId < 0)
        return v;
    ovra::PListDict* track = nullptr;
    try {
        track = root->asDict()->get("Tracks")->asDict()->get(trackId)->asDict();
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
    v.start = integerOf(track, "Start Time");
    v.stop = integerOf(track, "Stop Time");
    v.volume = integerOf(track, "Volume Adjustment");
    v.bpm = integerOf(track, "BPM");
    if (track->contains("Persistent ID")) {
        const ovra::PListString* text = nullptr;
        try {
            text = track->get("Persistent ID")->asString();
        } catch (int) {
        }
        uint64_t id = 0;
        if (text == nullptr || !ovra::parsepersistentid(text->text(), text->length(), id))
            v.ambiguity = "its persistent ID is not 1 to 16 hexadecimal digits";
        else
            v.persistentId = id;
    }
    return v;
}

// The kind of a file that is not a regular one, for the log.
const char* fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// "a", "a or b", "a, b or c".
std::string alternatives(const std::vector<std::string>& names)
{
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += i + 1 == names.size() ? " or " : ", ";
        out += names[i];
    }
    return out;
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
            known = folders.emplace(folder, ::realpath(folder.c_str(), real) != nullptr ? std::string(real) : folder).first;
        }
        return known->second + slash;
    }

private:
    std::map<std::string, std::string> folders;
};

} // namespace

BatchProcessor::BatchProcessor(BatchDisplay& display) : display(display)
{
}

BatchProcessor::~BatchProcessor()
{
    threads.cancelall();
    threads.waitall();
    if (logFile != nullptr)
        std::fclose(logFile);
}

void BatchProcessor::setSettings(const BatchSettings& settings)
{
    current = settings;
}

int BatchProcessor::start(const BatchSettings& settings, const BatchOptions& options)
{
    if (running())
        return -1;
    current = settings;
    startOptions = options;
    startOptions.window = this;
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

void BatchProcessor::cancelall()
{
    threads.cancelall();
}

void BatchProcessor::waitall()
{
    threads.waitall();
}

bool BatchProcessor::running()
{
    return threads.runningcount() > 0;
}

// ---- display and log ----------------------------------------------------------

void BatchProcessor::logLine(const char* format, ...)
{
    char small[512];
    std::va_list args;
    va_start(args, format);
    int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0)
        return;
    std::vector<char> large;
    const char* text = small;
    if (static_cast<size_t>(length) >= sizeof small) {
        large.resize(static_cast<size_t>(length) + 1);
        va_start(args, format);
        std::vsnprintf(large.data(), large.size(), format, args);
        va_end(args);
        text = large.data();
    }
    // The track's report takes the entry now: a held entry is written later,
    // when another track may be running.
    if (currentTrack != nullptr)
        currentTrack->addentry(text);
    if (held.holding())
        held.hold(text);
    else
        writeLog(text);
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
    display.setProgressRange(count);
}

void BatchProcessor::setProgressValue(int value)
{
    display.setProgressValue(value);
}

void BatchProcessor::setStatus(const char* text)
{
    display.setStatusLine(text);
}

void BatchProcessor::finishBatch()
{
    settleLibrary(true);
    ending = Outcome::finished;
    bool failed = errors.load() != 0;
    display.setFileLine("");
    display.batchEnded(failed ? "There were errors. Check the log file for details." : "Done", failed);
}

void BatchProcessor::abortBatch(const char* message)
{
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
    void logText(const char* text) override { batch.logLine("%s", text); }
    void countError() override { ++batch.errors; }
    void setStatus(const char* text) override { batch.setStatus(text); }
    void libraryUpdated(const ITunesUpdateInput& in) override
    {
        if (batch.currentTrack != nullptr)
            batch.currentTrack->addentry("iTunes updated.\n");
        batch.held.holdUpdated(in);
    }

private:
    BatchProcessor& batch;
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
    held = LibraryUpdateLog();
    std::time_t now = std::time(nullptr);
    logLine("%.24s: Tempix started.\n", std::ctime(&now));

    try {
        if (current.source == SOURCE_LIBRARY || current.source == SOURCE_PLAYLIST)
            libraryBranch(options, canceler);
        else
            folderBranch(options, canceler);
    } catch (int code) {
        logLine("Error while reading iTunes database: error code %d.\n", code);
        logLibraryError(code);
        ++errors;
        abortBatch("Error while reading iTunes database");
    } catch (const std::exception& e) {
        // Not one of our codes (out of memory, for one): end the batch in order.
        logLine("Batch stopped by an unexpected error: %s.\n", e.what());
        ++errors;
        abortBatch("Batch stopped by an unexpected error");
    } catch (...) {
        logLine("Batch stopped by an unexpected error.\n");
        ++errors;
        abortBatch("Batch stopped by an unexpected error");
    }
    settleLibrary(true); // a cancelled batch too: what reached the library is saved
    if (ending.load() == Outcome::none && canceler.iscancelled())
        ending = Outcome::cancelled;
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
        throw int(ovra::PLIST_ERR_OPEN); // cut short, it would name another file
    root = ovra::readPListFile(path);
}

// The words for a code that ended the batch: what is wrong and where.
void BatchProcessor::logLibraryError(int code)
{
    std::string words = ovra::describeplisterror(code);
    if (code == ovra::PLIST_ERR_OPEN && std::strlen(loadedLibrary) >= ovra::PATH_BUFFER - 1)
        words = "its path is longer than 1023 bytes";
    if (words.empty())
        return;
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
    std::string folder = config != nullptr && *config != '\0' ? config : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.config";
    logLine("Looked for the iTunes library file at %s. To use another, store its folder as the data value "
            "\"alis:1:iTunes Library Location\" in '%s/com.apple.iTunes.conf', or name the file with "
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
    setProgressRange(items->count());
    for (int i = 0; i < items->count(); ++i) {
        int32_t id = -1;
        const char* location = "";
        if (playlistTrack(items->at(i), tracks, id, location)) {
            char file[ovra::PATH_BUFFER];
            int r = ovra::fileURLToPath(location, file, sizeof file);
            if (r == 0) {
                processTrack(file, id, options, canceler);
                if (canceler.iscancelled())
                    return;
                setProgressValue(i + 1);
            } else if (r == 1) {
                logLine("Path longer than 1023 bytes: skipping '%s'.\n", logged(location).c_str());
                ++errors;
            } else {
                logLine("File is not local: skipping '%s'.\n", logged(location).c_str());
            }
        }
        settleLibrary(false);
    }
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
    for (int i = 0; i < items->count(); ++i) {
        try {
            int32_t id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
            const char* location = stringText(tracks->get(id)->asDict()->get("Location"));
            char file[ovra::PATH_BUFFER];
            if (ovra::fileURLToPath(location, file, sizeof file) == 0)
                ids[real.of(file)] = id; // a later equal path replaces the earlier ID
        } catch (int) {
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
    std::vector<std::string> roots = current.paths.empty() ? std::vector<std::string>{current.path} : current.paths;
    for (std::string& r : roots) {
        char real[PATH_MAX];
        if (::realpath(r.c_str(), real) != nullptr && std::strlen(real) < ovra::PATH_BUFFER)
            r = real;
    }

    setStatus("Counting files");
    int count = 0;
    for (const std::string& r : roots) {
        DirectoryWalker walker(DirectoryWalker::SINGLE_FILE);
        walker.start(r.c_str());
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
    for (const std::string& r : roots) {
        struct stat st;
        if (stat(r.c_str(), &st) != 0) {
            int e = errno;
            logLine("Could not open '%s': %s (errno %d).\n", logged(r.c_str()).c_str(), std::strerror(e), e);
            ++errors;
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !isAudioFile(r.c_str())) {
            logLine("Not an MP3 or M4A file: skipping '%s'.\n", logged(r.c_str()).c_str());
            ++errors;
            continue;
        }
        DirectoryWalker walker(DirectoryWalker::SINGLE_FILE);
        walker.setReporter([this](DirectoryWalker::Skip what, const char* folder, const char* name, int error) {
            if (what == DirectoryWalker::Skip::unreadableFolder)
                logLine("Could not read folder '%s': %s (errno %d).\n", logged(folder).c_str(), std::strerror(error), error);
            else if (what == DirectoryWalker::Skip::pathTooLong && *name != '\0')
                logLine("Path longer than 1023 bytes: skipping '%s/%s'.\n", logged(folder).c_str(), logged(name).c_str());
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
            processTrack(entry->path(), id, options, canceler);
            if (canceler.iscancelled())
                return;
            ++done;
            setProgressValue(done);
            settleLibrary(false);
        }
    }
    finishBatch();
}

// ---- one track ----------------------------------------------------------------

ovra::Tag* BatchProcessor::openTrackTag(const char* path)
{
    return ovra::openTag(path, false);
}

AnalysisOutcome BatchProcessor::analyzeTrackAudio(const char* path, ovra::Canceler& canceler)
{
    return analyzeTrack(path, canceler);
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

bool BatchProcessor::regularFile(const char* path)
{
    // stat, not open: opening a pipe or a device may block or act on it.
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode))
        return true; // missing or unreadable: the tag's own open says so
    logLine("Not a regular file (%s): skipping this track.\n", fileKind(st.st_mode));
    ++errors;
    return false;
}

void BatchProcessor::processTrack(const char* path, int32_t trackId, const BatchOptions& options,
                                  ovra::Canceler& canceler)
{
    display.setFileLine(path);
    logLine("Processing: %s\n", logged(path).c_str());
    TrackReport_auto report(display, errors, currentTrack, path, trackId, canceler);
    if (!regularFile(path))
        return;

    setStatus("Checking track metadata");
    std::unique_ptr<ovra::Tag> tag;
    try {
        tag.reset(openTrackTag(path));
    } catch (int) {
    }
    if (!tag) {
        logLine("Could not read metadata for this track.\n");
        ++errors;
        return;
    }

    // Genre filter.
    int policy = current.genrepolicy;
    if (policy != 0) {
        char genre[80] = "";
        try {
            tag->getGenre(genre, sizeof genre);
        } catch (...) {
            genre[0] = '\0';
        }
        genre[79] = '\0';
        for (char* c = genre; *c != '\0'; ++c)
            *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        bool listed = genreSet.count(genre) != 0;
        if ((policy == 1 && listed) || (policy == 2 && !listed)) {
            logLine("Genre filter: skipping genre '%s'.\n", logged(genre).c_str());
            return;
        }
    }

    // What the tag holds.
    // A record of another size or version is not ours: it vouches for
    // nothing and is replaced.
    uint8_t stored[TrackDataRecord::SIZE] = {};
    TrackDataRecord record;
    bool hasRecord = false;
    try {
        tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, stored, sizeof stored);
        hasRecord = TrackDataRecord::decode(stored, record);
    } catch (...) {
    }
    int tagBpm = 0;
    try {
        tagBpm = tag->getBPM();
    } catch (...) {
        tagBpm = 0;
    }
    int tagRva = 0;
    bool volumeUnreadable = false;
    try {
        tagRva = tag->getRVA();
    } catch (int code) {
        tagRva = 0;
        volumeUnreadable = code == ovra::TAG_ERR_UNUSABLE;
    }

    LibraryValues library = libraryValues(root.get(), trackId);
    if (!library.ambiguity.empty()) {
        // Which track the library means cannot be told: never guess.
        logLine("Track left as it is: its entry in the iTunes library is ambiguous (%s) [track ID=%d].\n",
                library.ambiguity.c_str(), trackId);
        ++errors;
        return;
    }

    // What may be set: values another program set are left alone unless our
    // record vouches for them or the overwrite option says so.
    bool doBpm = options.detectbpm;
    bool doTimes = options.optimizetimes;
    bool doVolume = options.adjustvolume && !(volumeUnreadable && !options.overwritevolume);
    if (!options.overwritebpm && tagBpm != 0 &&
        !(hasRecord && record.hasBPM() && int64_t(record.bpm) == tagBpm))
        doBpm = false;
    if (trackId < 0)
        doTimes = false;
    else if (!options.overwritetimes && (library.start != 0 || library.stop != 0) &&
             !(hasRecord && record.hasTimes() && int32_t(record.startMs) == library.start &&
               int32_t(record.stopMs) == library.stop))
        doTimes = false;
    if (!options.overwritevolume) {
        bool ours = hasRecord && record.hasVolume();
        if (tagRva != 0 && !(ours && std::abs(int64_t(tagRva) - record.volume) <= 15))
            doVolume = false;
        if (library.volume != 0 &&
            !(ours && std::abs(ovra::rvatolibraryvolume(record.volume) - library.volume) <= 2))
            doVolume = false;
    }
    if (!doBpm && !doTimes && !doVolume) {
        const auto& names = current.overwriteOptionNames;
        if (names[0].empty()) {
            logLine("Data set by another application (check appropriate checkbox(es) to overwrite).\n");
        } else {
            // The options that would set what was asked for.
            std::vector<std::string> useful;
            if (options.detectbpm)
                useful.push_back(names[0]);
            if (options.optimizetimes && trackId >= 0)
                useful.push_back(names[1]);
            if (options.adjustvolume)
                useful.push_back(names[2]);
            if (useful.empty())
                useful.assign(names.begin(), names.end());
            logLine("Data set by another application (use %s to overwrite).\n", alternatives(useful).c_str());
        }
        return;
    }

    // Reuse the stored analysis, or analyse afresh.
    TrackAnalysis analysis;
    double sampleRate;
    if (hasRecord && !options.reprocess && reusable(record)) {
        analysis = record.analysis;
        sampleRate = record.analysis.sampleRate;
    } else {
        setStatus("Analyzing track");
        AnalysisOutcome outcome;
        try {
            outcome = analyzeTrackAudio(path, canceler);
        } catch (int code) {
            // A decoder failure is this track's, not the batch's.
            logLine("Could not decode track: error code %d.\n", code);
            ++errors;
            return;
        }
        if (outcome.status == AnalysisStatus::cancelled)
            return;
        if (outcome.status != AnalysisStatus::ok) {
            logLine("%s", outcome.failure.c_str());
            ++errors;
            return;
        }
        analysis = outcome.analysis;
        sampleRate = outcome.sampleRate;
        if (analysis.beatPeriod == 0 || !(sampleRate > 0.0)) {
            logLine("No beat found in track.\n");
            ++errors;
            return;
        }
    }

    int bpm = doBpm ? computeBPM(analysis.beatPeriod, sampleRate) : 0;
    TrackTimes times = doTimes ? computeTimes(analysis, sampleRate, options.lessintro) : TrackTimes();
    VolumeAdjustment volume = doVolume ? computeVolume(analysis.loudness, analysis.peakLevel) : VolumeAdjustment();
    report.setvalues(analysis, sampleRate, doBpm, bpm, doTimes, times, doVolume, volume);

    if (canceler.iscancelled())
        return;

    setStatus("Updating track metadata");
    bool tagChanged = false;
    bool libraryChanged = false;
    if (doBpm) {
        if (bpm != tagBpm) {
            try {
                tag->setBPM(bpm);
                tagChanged = true;
            } catch (int code) {
                if (code != ovra::TAG_ERR_UNSUPPORTED) {
                    logLine("Could not set BPM (%d) in tag: error code %ld.\n", bpm, long(code));
                    ++errors;
                }
            }
        }
        libraryChanged = bpm != library.bpm;
    }
    if (doVolume && std::abs(int64_t(volume.value) - tagRva) >= 257) {
        libraryChanged = true;
        try {
            tag->setRVA(volume.value);
            tagChanged = true;
        } catch (int code) {
            if (code != ovra::TAG_ERR_UNSUPPORTED) {
                logLine("Could not set RVA (%+d%%) in tag: error code %ld.\n", volume.percent, long(code));
                ++errors;
            }
        }
    }

    TrackDataRecord fresh;
    fresh.flags = TrackDataRecord::FLAG_ANALYSIS;
    fresh.analysis = analysis;
    if (doBpm) {
        fresh.flags |= TrackDataRecord::FLAG_BPM;
        fresh.bpm = uint32_t(bpm);
    }
    if (doTimes) {
        fresh.flags |= TrackDataRecord::FLAG_TIMES;
        fresh.startMs = uint32_t(times.startMs);
        fresh.stopMs = uint32_t(times.stopMs);
    }
    if (doVolume) {
        fresh.flags |= TrackDataRecord::FLAG_VOLUME;
        fresh.volume = volume.value;
    }
    // A result this run does not derive keeps what the stored record says
    // of it: a run with fewer options must not disown the others. (One the
    // run looked at and found another program's is dropped.)
    if (hasRecord) {
        if (!options.detectbpm && record.hasBPM()) {
            fresh.flags |= TrackDataRecord::FLAG_BPM;
            fresh.bpm = record.bpm;
        }
        if ((!options.optimizetimes || trackId < 0) && record.hasTimes()) {
            fresh.flags |= TrackDataRecord::FLAG_TIMES;
            fresh.startMs = record.startMs;
            fresh.stopMs = record.stopMs;
        }
        if (!options.adjustvolume && record.hasVolume()) {
            fresh.flags |= TrackDataRecord::FLAG_VOLUME;
            fresh.volume = record.volume;
        }
    }
    uint8_t encoded[TrackDataRecord::SIZE];
    fresh.encode(encoded);
    if (!hasRecord || std::memcmp(encoded, stored, sizeof encoded) != 0) {
        try {
            tag->setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, encoded, sizeof encoded);
            tagChanged = true;
        } catch (...) {
        }
    }

    uint32_t tagKind = tag->kind();
    try {
        tag->close();
    } catch (int code) {
        // The file could not be written (read-only, gone, full disk) or was
        // refused to keep it whole: it is as it was, this track failed, the
        // batch goes on.
        if (const char* why = ovra::tagwriterefusal(code))
            logLine("Could not write tag to file: %s (error code %d).\n", why, code);
        else
            logLine("Could not write tag to file: error code %d.\n", code);
        ++errors;
        return;
    }
    logLine(tagChanged ? "Track updated.\n" : "Track is up-to-date.\n");

    if (canceler.iscancelled())
        return;

    ITunesUpdateInput update;
    update.exportToLibrary = options.exportToLibrary;
    update.trackId = trackId;
    update.persistentId = library.persistentId;
    update.doBpm = doBpm;
    update.doTimes = doTimes;
    update.doVolume = doVolume;
    update.bpm = bpm;
    update.startMs = uint32_t(times.startMs);
    update.stopMs = uint32_t(times.stopMs);
    update.volumePercent = volume.percent;
    update.libraryVolume = volume.libraryVolume;
    update.libraryStart = library.start;
    update.libraryStop = library.stop;
    update.libraryVolumeAdjustment = library.volume;
    update.tagKind = tagKind;
    update.iTunesChanged = libraryChanged;
    updateLibrary(update);
}

} // namespace ovra::tempix
