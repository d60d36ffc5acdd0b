// BatchProcessor's per-track pipeline: processTrack and its steps, each
// taking the track's state from the one before.
#include "batch/BatchProcessor.h"
#include "batch/DryRun.h"
#include "batch/TrackState.h"
#include "plist/LibraryRules.h"
#include "plist/PListNode.h"
#include "tags/FileTransaction.h"
#include "tags/VolumeScale.h"
#include "tags/WriteJournal.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {

// The lowest sample rate of a stored analysis that is taken as it is.
constexpr uint32_t MIN_REUSABLE_SAMPLE_RATE = 11050;
// How far the tag's volume may lie from the one our record wrote (the RVA2
// frame keeps it to within 15) and the library's from ours (rounding), for
// the value to count as ours.
constexpr int64_t OWN_RVA_TOLERANCE = 15;
constexpr long OWN_LIBRARY_VOLUME_TOLERANCE = 2;
// A volume that differs from the tag's by less than this is not rewritten.
constexpr int64_t RVA_REWRITE_STEP = 257;
// A genre is compared by its first GENRE_SIZE - 1 bytes.
constexpr size_t GENRE_SIZE = 80;

// A stored analysis that can stand for a fresh one. A beat period of 0 would
// divide by zero in the tempo formula, so such a record is analysed again.
bool reusable(const TrackDataRecord& r)
{
    const TrackAnalysis& a = r.analysis;
    return r.hasAnalysis() && a.sampleRate >= MIN_REUSABLE_SAMPLE_RATE &&
        double(a.frameCount) / double(a.sampleRate) >= MIN_TRACK_SECONDS && a.loudness != 0 && a.peakLevel != 0 &&
        a.startPeriod != 0 && a.endPeriod != 0 && a.beatPeriod != 0;
}

int32_t integerOf(ovra::PListDict* track, const char* key)
{
    try {
        return track->get(key)->asInteger()->value();
    } catch (int) {
        return 0; // absent or not an integer: the library holds nothing for it
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

// The record to store: the analysis and what this run set. A result this run
// does not derive keeps what the stored record says of it: a run with fewer
// options must not disown the others. (One the run looked at and found
// another program's is dropped.)
TrackDataRecord newRecord(const TrackState& t, const BatchOptions& options)
{
    TrackDataRecord fresh;
    fresh.flags = TrackDataRecord::FLAG_ANALYSIS;
    fresh.analysis = t.analysis;
    const bool keepBpm = t.hasRecord && !options.detectbpm && t.record.hasBPM();
    const bool keepTimes = t.hasRecord && (!options.optimizetimes || t.trackId < 0) && t.record.hasTimes();
    const bool keepVolume = t.hasRecord && !options.adjustvolume && t.record.hasVolume();
    if (t.values.hasBpm || keepBpm) {
        fresh.flags |= TrackDataRecord::FLAG_BPM;
        fresh.bpm = t.values.hasBpm ? uint32_t(t.values.bpm) : t.record.bpm;
    }
    if (t.values.hasTimes || keepTimes) {
        fresh.flags |= TrackDataRecord::FLAG_TIMES;
        fresh.startMs = t.values.hasTimes ? uint32_t(t.values.times.startMs) : t.record.startMs;
        fresh.stopMs = t.values.hasTimes ? uint32_t(t.values.times.stopMs) : t.record.stopMs;
    }
    if (t.values.hasVolume || keepVolume) {
        fresh.flags |= TrackDataRecord::FLAG_VOLUME;
        fresh.volume = t.values.hasVolume ? t.values.volume.value : t.record.volume;
    }
    return fresh;
}

// The library step's entries in a dry run: it counts no error of its own.
class DryRunLog : public ITunesUpdateSink {
public:
    DryRunLog(BatchProcessor& batch, TrackReport_auto& report) : batch(batch), report(report) {}
    void logText(const char* text) override { batch.logLine("%s", text); }
    void countError() override {}
    void setStatus(const char* text) override { batch.setStatus(text); }
    void libraryUpToDate() override
    {
        ITunesUpdateSink::libraryUpToDate();
        report.setlibrary(LibraryOutcome::upToDate);
    }
    void libraryWouldUpdate() override { report.setlibrary(LibraryOutcome::wouldUpdate); }

private:
    BatchProcessor& batch;
    TrackReport_auto& report;
};

} // namespace

ovra::Tag* BatchProcessor::openTrackTag(const char* path) { return ovra::openTag(path, false); }

AnalysisOutcome BatchProcessor::analyzeTrackAudio(const char* path, ovra::Canceler& canceler,
                                                  const AnalysisOptions& measure)
{
    return analyzeTrack(path, canceler, measure);
}

void BatchProcessor::processTrack(const char* path, int32_t trackId, const BatchOptions& options,
                                  ovra::Canceler& canceler)
{
    showFile(path);
    logLine("Processing: %s\n", logged(path).c_str());
    TrackReport_auto report(display, path, trackId, canceler, &rowsShown);
    OnTrack_auto on(report);
    try {
        TrackState track(path, trackId);
        if (trackSteps(track, options, canceler, report))
            updateLibrary(libraryUpdate(track, options));
    } catch (...) {
        report.abandon(); // it ends the batch: the track did not finish
        throw;
    }
}

bool BatchProcessor::trackSteps(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler,
                                TrackReport_auto& report)
{
    report.setlibraryentry(root.get());
    if (!readTrack(track, options, canceler))
        return false;
    if (options.listOnly) {
        report.setlisted(track.hasRecord && reusable(track.record), track.before);
        return false;
    }
    if (!decideWrites(track, options) || !obtainAnalysis(track, options, canceler))
        return false;
    deriveValues(track, options);
    report.setvalues(track.analysis, track.sampleRate, track.before, track.values);
    if (canceler.iscancelled() || !writeTag(track, options))
        return false;
    TagOutcome tagOutcome = TagOutcome::upToDate;
    if (track.tagChanged)
        tagOutcome = options.dryRun ? TagOutcome::wouldUpdate : TagOutcome::updated;
    report.settag(tagOutcome); // a track written keeps its row, cancelled or not
    if (canceler.iscancelled())
        return false;
    if (options.dryRun) {
        DryRunLog sink(*this, report);
        describelibraryupdate(libraryUpdate(track, options), track, sink);
        return false; // nothing for the library
    }
    return true;
}

bool BatchProcessor::claimTrack(TrackState& t, const BatchOptions& options, ovra::Canceler& canceler)
{
    if (t.lock.lock(
            t.path, [&] { setStatus("Waiting for another Tempix that is updating this track"); },
            [&] { return canceler.iscancelled(); }) != 0)
        return true; // missing or unreadable: the tag's own open says so
    char* real = ::realpath(t.path, nullptr);
    if (real == nullptr)
        return true;
    const std::string realPath = real;
    std::free(real);
    std::string why;
    if (options.dryRun) {
        if (!ovra::journalpending(realPath))
            return true;
        failTrack("Track left as it is: an interrupted update of it is not settled yet; a run without --dry-run "
                  "settles it first.\n");
        return false;
    }
    const ovra::JournalOutcome outcome = ovra::settletrackjournal(
        realPath, [&](const char* line) { logLine("%s", line); }, why);
    if (outcome != ovra::JournalOutcome::kept && outcome != ovra::JournalOutcome::busy)
        return true;
    // Never called up to date, nor written over, until the journal is settled.
    if (outcome == ovra::JournalOutcome::busy)
        why = "its journal is in use by another Tempix";
    failTrack("Track left as it is: it may be damaged by an interrupted update; %s.\n", why.c_str());
    return false;
}

bool BatchProcessor::readTrack(TrackState& t, const BatchOptions& options, ovra::Canceler& canceler)
{
    // stat, not open: opening a pipe or a device may block or act on it.
    struct stat st;
    const int found = stat(t.path, &st) == 0 ? 0 : errno;
    if (found == 0 && !S_ISREG(st.st_mode)) {
        failTrack("Not a regular file (%s): skipping this track.\n", fileKind(st.st_mode));

        return false;
    }
    if (found == 0 && !claimTrack(t, options, canceler))
        return false;
    // Missing or unreadable: the tag's own open says so.
    setStatus("Checking track metadata");
    try {
        t.tag.reset(openTrackTag(t.path));
    } catch (int) {
        t.tag.reset(); // logged below
    }
    if (!t.tag) {
        failTrack("Could not read metadata for this track.\n");
        if (currentTrack != nullptr)
            currentTrack->setunreadable(t.path, found);
        // Gone, or a name too long: not a damaged file.
        if (found == ENOENT)
            logLine("File not found: '%s'.\n", logged(t.path).c_str());
        else if (found != 0)
            logErrorWords(found);
        return false;
    }
    if (!passesGenreFilter(*t.tag))
        return false;

    try {
        t.tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, t.stored, sizeof t.stored);
        t.hasRecord = TrackDataRecord::decode(t.stored, t.record);
    } catch (...) {
        t.hasRecord = false; // none, or one we cannot read: nothing is ours
    }
    try {
        t.tagBpm = t.tag->getBPM();
    } catch (...) {
        t.tagBpm = 0; // none, or unreadable: as if none
    }
    try {
        t.tagRva = t.tag->getRVA();
        t.rvaReadable = true;
    } catch (int code) {
        t.tagRva = 0;
        t.volumeUnreadable = code == ovra::TAG_ERR_UNUSABLE;
    }
    if (options.replaygain != ReplayGainMode::off) {
        try {
            t.replayGain = t.tag->getReplayGain();
            t.replayGainReadable = true;
        } catch (int) {
            t.replayGainReadable = false; // a tag that cannot hold them, or one we cannot read: left alone
        }
        if (options.replaygain == ReplayGainMode::album) {
            t.album = albumKey(t.path, *t.tag);
            noteAlbumTrack(t);
        }
    }

    t.library = libraryValues(root.get(), t.trackId);
    // What the track holds now, for the results: the tag's tempo, the
    // library's times, and the volume where the track keeps it (the tag's,
    // else the library's).
    t.before.hasBpm = true;
    t.before.bpm = t.tagBpm;
    t.before.hasTimes = t.trackId >= 0;
    t.before.times = {t.library.start, t.library.stop};
    t.before.hasVolume = true;
    t.before.volume.value = t.tagRva;
    t.before.volume.libraryVolume = t.library.volume;
    t.before.volume.percent =
        t.rvaReadable ? ovra::rvatopercent(t.tagRva) : ovra::libraryvolumetopercent(t.library.volume);
    if (!t.library.ambiguity.empty()) {
        // Which track the library means cannot be told: never guess.
        failTrack("Track left as it is: its entry in the iTunes library is ambiguous (%s) [track ID=%d].\n",
                  t.library.ambiguity.c_str(), t.trackId);

        return false;
    }
    return true;
}

bool BatchProcessor::passesGenreFilter(ovra::Tag& tag)
{
    int policy = current.genrepolicy;
    if (policy == 0)
        return true;
    char genre[GENRE_SIZE] = "";
    try {
        tag.getGenre(genre, sizeof genre);
    } catch (...) {
        genre[0] = '\0'; // no genre: compared as empty
    }
    genre[GENRE_SIZE - 1] = '\0';
    for (char* c = genre; *c != '\0'; ++c)
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    bool listed = genreSet.count(genre) != 0;
    if ((policy == 1 && listed) || (policy == 2 && !listed)) {
        skipTrack("Genre filter: skipping genre '%s'.\n", logged(genre).c_str());
        return false;
    }
    return true;
}

bool BatchProcessor::decideWrites(TrackState& t, const BatchOptions& options)
{
    // Values another program set are left alone unless our record vouches
    // for them or the overwrite option says so.
    const TrackDataRecord& r = t.record;
    t.values.hasBpm = options.detectbpm;
    t.values.hasTimes = options.optimizetimes;
    t.values.hasVolume = options.adjustvolume && !(t.volumeUnreadable && !options.overwritevolume);
    if (!options.overwritebpm && t.tagBpm != 0 && !(t.hasRecord && r.hasBPM() && int64_t(r.bpm) == t.tagBpm))
        t.values.hasBpm = false;
    if (t.trackId < 0)
        t.values.hasTimes = false;
    else if (!options.overwritetimes && (t.library.start != 0 || t.library.stop != 0) &&
             !(t.hasRecord && r.hasTimes() && int32_t(r.startMs) == t.library.start &&
               int32_t(r.stopMs) == t.library.stop))
        t.values.hasTimes = false;
    if (!options.overwritevolume) {
        bool ours = t.hasRecord && r.hasVolume();
        if (t.tagRva != 0 && !(ours && std::abs(int64_t(t.tagRva) - r.volume) <= OWN_RVA_TOLERANCE))
            t.values.hasVolume = false;
        if (t.library.volume != 0 &&
            !(ours &&
              std::abs(ovra::rvatolibraryvolume(r.volume) - long(t.library.volume)) <= OWN_LIBRARY_VOLUME_TOLERANCE))
            t.values.hasVolume = false;
    }
    // The track's ReplayGain is measured where it has none (or the album's
    // none), or where the volume may be overwritten.
    t.doReplayGain = options.replaygain != ReplayGainMode::off && t.replayGainReadable &&
        (options.overwritevolume || !t.replayGain.trackGain ||
         (options.replaygain == ReplayGainMode::album && !t.album.empty() && !t.replayGain.albumGain));
    if (t.values.hasBpm || t.values.hasTimes || t.values.hasVolume || t.doReplayGain)
        return true;
    const auto& names = current.overwriteOptionNames;
    if (names[0].empty()) {
        skipTrack("Data set by another application (check appropriate checkbox(es) to overwrite).\n");
        return false;
    }
    // The options that would set what was asked for.
    std::vector<std::string> useful;
    if (options.detectbpm)
        useful.push_back(names[0]);
    if (options.optimizetimes && t.trackId >= 0)
        useful.push_back(names[1]);
    if (options.adjustvolume)
        useful.push_back(names[2]);
    if (useful.empty())
        useful.assign(names.begin(), names.end());
    skipTrack("Data set by another application (use %s to overwrite).\n", alternatives(useful).c_str());
    return false;
}

bool BatchProcessor::obtainAnalysis(TrackState& t, const BatchOptions& options, ovra::Canceler& canceler)
{
    const AnalysisOptions measure{t.doReplayGain, t.doReplayGain && options.truePeak};
    const bool reuse = t.hasRecord && !options.reprocess && reusable(t.record);
    if (reuse) {
        t.analysis = t.record.analysis;
        t.sampleRate = t.record.analysis.sampleRate;
        if (!measure.loudness)
            return true;
        // Decoded once more for the loudness alone; the stored analysis stands.
        logLine("Measuring the loudness for the ReplayGain tags (the stored analysis is reused).\n");
    }
    setStatus(reuse ? "Measuring loudness" : "Analyzing track");
    AnalysisOutcome outcome;
    try {
        outcome = analyzeTrackAudio(t.path, canceler, measure);
    } catch (int code) {
        // A decoder failure is this track's, not the batch's.
        failTrack("Could not decode track: error code %d.\n", code);
        logErrorWords(code);
        return false;
    }
    if (outcome.status == AnalysisStatus::cancelled)
        return false;
    if (outcome.status != AnalysisStatus::ok) {
        failTrack("%s", outcome.failure.c_str());

        return false;
    }
    t.loudness = outcome.measure;
    t.meter = outcome.meter;
    if (options.replaygain == ReplayGainMode::album && !t.album.empty())
        noteAlbumTrack(t);
    if (reuse)
        return true;
    t.analysis = outcome.analysis;
    t.sampleRate = outcome.sampleRate;
    if (t.analysis.beatPeriod == 0 || !(t.sampleRate > 0.0)) {
        failTrack("No beat found in track.\n");

        return false;
    }
    return true;
}

void BatchProcessor::deriveValues(TrackState& t, const BatchOptions& options)
{
    t.values.bpm = t.values.hasBpm ? computeBPM(t.analysis.beatPeriod, t.sampleRate) : 0;
    t.values.times = t.values.hasTimes ? computeTimes(t.analysis, t.sampleRate, options.lessintro) : TrackTimes();
    t.values.volume =
        t.values.hasVolume ? computeVolume(t.analysis.loudness, t.analysis.peakLevel) : VolumeAdjustment();
}

bool BatchProcessor::writeTag(TrackState& t, const BatchOptions& options)
{
    setStatus("Updating track metadata");
    ovra::Tag& tag = *t.tag;
    if (t.values.hasBpm) {
        if (t.values.bpm != t.tagBpm) {
            try {
                tag.setBPM(t.values.bpm);
                t.tagChanged = t.bpmStaged = true;
            } catch (int code) {
                if (code != ovra::TAG_ERR_UNSUPPORTED) {
                    failTrack("Could not set BPM (%d) in tag: error code %ld.\n", t.values.bpm, long(code));
                    logErrorWords(code);
                }
            }
        }
        t.libraryChanged = t.values.bpm != t.library.bpm;
    }
    if (t.values.hasVolume && std::abs(int64_t(t.values.volume.value) - t.tagRva) >= RVA_REWRITE_STEP) {
        t.libraryChanged = true;
        try {
            tag.setRVA(t.values.volume.value);
            t.tagChanged = t.rvaStaged = true;
        } catch (int code) {
            if (code != ovra::TAG_ERR_UNSUPPORTED) {
                failTrack("Could not set RVA (%+d%%) in tag: error code %ld.\n", t.values.volume.percent, long(code));
                logErrorWords(code);
            }
        }
    }

    stageReplayGain(t, options);

    uint8_t encoded[TrackDataRecord::SIZE];
    newRecord(t, options).encode(encoded);
    if (!t.hasRecord || std::memcmp(encoded, t.stored, sizeof encoded) != 0) {
        try {
            tag.setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, encoded, sizeof encoded);
            t.tagChanged = t.recordStaged = true;
        } catch (...) {
            // A tag that cannot hold the record still takes the rest; the
            // track is then analysed again next time.
        }
    }

    t.tagKind = tag.kind();
    if (options.dryRun) {
        // Staged only: a tag let go without close() leaves its file as it was.
        t.tag.reset();
        logLine("%s", dryruntagentry(t).c_str());
        return true;
    }
    try {
        tag.close();
    } catch (int code) {
        // The file could not be written (read-only, gone, full disk) or was
        // refused to keep it whole: it is as it was, this track failed, the
        // batch goes on.
        if (const char* why = ovra::tagwriterefusal(code))
            failTrack("Could not write tag to file: %s (error code %d).\n", why, code);
        else if (code == ovra::FILE_ERR_JOURNAL)
            failTrack("Could not write tag to file: %s (error code %d).\n", ovra::journalproblem().c_str(), code);
        else
            failTrack("Could not write tag to file: error code %d.\n", code);
        if (!ovra::tagwriterefusal(code) && code != ovra::FILE_ERR_JOURNAL)
            logErrorWords(code);
        const std::string journal = ovra::halfwrittenjournal();
        if (!journal.empty())
            logLine("The track is half-written: the journal %s keeps its original bytes, and the next start of "
                    "Tempix restores them (tempix-cli --journal lists it).\n",
                    journal.c_str());
        return false;
    }
    logLine(t.tagChanged ? "Track updated.\n" : "Track is up-to-date.\n");
    return true;
}

ITunesUpdateInput BatchProcessor::libraryUpdate(const TrackState& t, const BatchOptions& options)
{
    ITunesUpdateInput update;
    update.exportToLibrary = options.exportToLibrary;
    update.trackId = t.trackId;
    update.persistentId = t.library.persistentId;
    update.values = t.values;
    update.libraryStart = t.library.start;
    update.libraryStop = t.library.stop;
    update.libraryVolumeAdjustment = t.library.volume;
    update.tagKind = t.tagKind;
    update.iTunesChanged = t.libraryChanged;
    return update;
}

} // namespace ovra::tempix
