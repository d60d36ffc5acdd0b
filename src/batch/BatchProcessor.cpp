#include "batch/BatchProcessor.h"
#include "batch/DirectoryWalker.h"
#include "batch/GenreSet.h"
#include "batch/LibraryFile.h"
#include "batch/TrackDataRecord.h"
#include "plist/PListNode.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"
#include "tags/Tag.h"

#include <cctype>
#include <cerrno>
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

// The text with its entity references decoded.
std::string decodedText(const char* text)
{
    std::string out;
    while (*text != '\0')
        out.push_back(decodeXmlChar(text));
    return out;
}

// Values the library holds for a track; each 0 when it cannot be read.
struct LibraryValues {
    int32_t start = 0;
    int32_t stop = 0;
    int32_t volume = 0;
    int32_t bpm = 0;
    unsigned long long persistentId = 0;
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
    } catch (int) {
        return v;
    }
    v.start = integerOf(track, "Start Time");
    v.stop = integerOf(track, "Stop Time");
    v.volume = integerOf(track, "Volume Adjustment");
    v.bpm = integerOf(track, "BPM");
    try {
        const char* text = track->get("Persistent ID")->asString()->text();
        unsigned long long id = 0;
        if (text != nullptr && std::sscanf(text, "%16llx", &id) == 1)
            v.persistentId = id;
    } catch (int) {
    }
    return v;
}

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
    if (logFile != nullptr) {
        std::fwrite(text, 1, static_cast<size_t>(length), logFile);
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
    ending = Outcome::finished;
    bool failed = errors.load() != 0;
    display.setFileLine("");
    display.batchEnded(failed ? "There were errors. Check the log file for details." : "Done", failed);
}

void BatchProcessor::abortBatch(const char* message)
{
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
    char folder[1024];
    ovra::logfolder(folder);
    int n = std::snprintf(logFilePath, sizeof logFilePath, "%s/Tempix.log", folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof logFilePath) {
        logFilePath[0] = '\0';
        return; // the batch runs without a log file
    }
    logFile = std::fopen(logFilePath, "a");
}

// ---- the batch ----------------------------------------------------------------

// Where the library step reports: the batch's own log, count and status line.
class LibraryUpdateSink : public ITunesUpdateSink {
public:
    explicit LibraryUpdateSink(BatchProcessor& batch, std::atomic<int>& errors) : batch(batch), errors(errors) {}
    void logText(const char* text) override { batch.logLine("%s", text); }
    void countError() override { ++errors; }
    void setStatus(const char* text) override { batch.setStatus(text); }

private:
    BatchProcessor& batch;
    std::atomic<int>& errors;
};

void BatchProcessor::runBatch(const BatchOptions& options, ovra::Canceler& canceler)
{
    ending = Outcome::none;
    // The helper works on the library file this batch reads; whether it
    // started shows in the first track's library step.
    char library[1024];
    libraryFile(library);
    scriptServer.setlibraryfile(library);
    scriptServer.start_external();
    root.reset();
    genreSet.clear();
    if (current.genrepolicy == 1)
        genreSet = buildGenreSet(current.badgenres.c_str());
    else if (current.genrepolicy == 2)
        genreSet = buildGenreSet(current.goodgenres.c_str());
    openLog();
    errors = 0;
    std::time_t now = std::time(nullptr);
    logLine("%.24s: Tempix started.\n", std::ctime(&now));

    try {
        if (current.source == SOURCE_LIBRARY || current.source == SOURCE_PLAYLIST)
            libraryBranch(options, canceler);
        else
            folderBranch(options, canceler);
    } catch (int code) {
        logLine("Error while reading iTunes database: error code %d.\n", code);
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
    if (ending.load() == Outcome::none && canceler.iscancelled())
        ending = Outcome::cancelled;
    root.reset();
    scriptServer.stop();
}

void BatchProcessor::libraryFile(char* out) const
{
    if (!current.libraryFile.empty())
        ovra::strcpy_max(out, 1024, current.libraryFile.c_str());
    else
        findLibraryFile(out);
}

void BatchProcessor::loadLibrary(const char* path)
{
    if (std::strlen(path) >= 1023)
        throw int(ovra::PLIST_ERR_OPEN); // cut short, it would name another file
    root = ovra::readPListFile(path);
}

void BatchProcessor::libraryBranch(const BatchOptions& options, ovra::Canceler& canceler)
{
    setStatus("Reading iTunes database");
    char path[1024];
    libraryFile(path);
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
            if (current.playlist == name || current.playlist == decodedText(name))
                chosen = playlists->at(i);
        }
        if (chosen == nullptr) {
            abortBatch("Playlist not found");
            return;
        }
    } else {
        chosen = playlists->at(0);
    }

    ovra::PListArray* items = chosen->asDict()->get("Playlist Items")->asArray();
    setProgressRange(items->count());
    for (int i = 0; i < items->count(); ++i) {
        int32_t id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
        ovra::PListDict* track = tracks->get(id)->asDict();
        const char* location = stringText(track->get("Location"));
        char file[1024];
        if (fileURLToPath(location, file, sizeof file) == 0) {
            processTrack(file, id, options, canceler);
            if (canceler.iscancelled())
                return;
            setProgressValue(i + 1);
        } else {
            logLine("File is not local: skipping '%s'.\n", location);
        }
    }
    finishBatch();
}

void BatchProcessor::folderBranch(const BatchOptions& options, ovra::Canceler& canceler)
{
    std::map<std::string, int32_t> trackIds;
    DirectoryWalker walker(0);

    if (options.exportToLibrary) {
        setStatus("Reading iTunes database");
        char path[1024];
        libraryFile(path);
        struct stat st;
        if (current.libraryFile.empty() && stat(path, &st) != 0 && errno == ENOENT) {
            // Most systems keep no library file: the tracks simply have no IDs.
            logLine("No iTunes library file found at '%s': processing tracks without library IDs.\n", path);
        } else {
            loadLibrary(path);
            if (canceler.iscancelled())
                return;
            ovra::PListDict* dict = root->asDict();
            ovra::PListArray* items = dict->get("Playlists")->asArray()->at(0)->asDict()->get("Playlist Items")->asArray();
            ovra::PListDict* tracks = dict->get("Tracks")->asDict();
            for (int i = 0; i < items->count(); ++i) {
                int32_t id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
                const char* location = stringText(tracks->get(id)->asDict()->get("Location"));
                char file[1024];
                if (fileURLToPath(location, file, sizeof file) == 0)
                    trackIds[file] = id;
            }
        }
    }

    setStatus("Counting files");
    walker.start(current.path.c_str());
    int count = 0;
    for (;;) {
        if (canceler.iscancelled())
            return;
        DirectoryWalker* entry = walker.next();
        if (entry == nullptr)
            break;
        if (isAudioFile(entry->path()))
            ++count;
    }

    setProgressRange(count);
    walker.start(current.path.c_str());
    int done = 0;
    for (;;) {
        if (canceler.iscancelled())
            return;
        setStatus("Looking for next file");
        DirectoryWalker* entry = walker.next();
        if (entry == nullptr) {
            finishBatch();
            return;
        }
        if (!isAudioFile(entry->path()))
            continue;
        auto known = trackIds.find(entry->path());
        int32_t id = known == trackIds.end() ? -1 : known->second;
        processTrack(entry->path(), id, options, canceler);
        if (canceler.iscancelled())
            return;
        ++done;
        setProgressValue(done);
    }
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
    LibraryUpdateSink sink(*this, errors);
    updateITunes(input, scriptServer, sink);
}

void BatchProcessor::processTrack(const char* path, int32_t trackId, const BatchOptions& options,
                                  ovra::Canceler& canceler)
{
    display.setFileLine(path);
    logLine("Processing: %s\n", path);

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
            logLine("Genre filter: skipping genre '%s'.\n", genre);
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
            !(ours && std::abs(std::lround(record.volume * 255.0 / 65535.0) - long(library.volume)) <= 2))
            doVolume = false;
    }
    if (!doBpm && !doTimes && !doVolume) {
        logLine("Data set by another application (check appropriate checkbox(es) to overwrite).\n");
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
