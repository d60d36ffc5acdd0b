// The batch and its per-track decisions over in-memory tags and analyses, so
// that every rule can be driven to its edge; real files are in the end-to-end
// tests.
#include "support/BatchLibraryText.h"
#include "support/ScriptLibrary.h"
#include "batch/BatchProcessor.h"
#include "platform/BigEndian.h"
#include "tags/Tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;
using namespace ovra::tempix;
using namespace testsupport;

namespace {

const char* const OWNER = "com.quillfen.tempix.trackdata";
const uint32_t CODE = ovra::fourcc("Tpix");

// What one fake file's tag holds.
struct FakeFile {
    std::string genre;
    int bpm = 0;
    int rva = 0;
    bool hasRecord = false;
    uint8_t record[64] = {};
    int rvaReadError = 0;  // thrown by getRVA when not 0
    int bpmWriteError = 0; // thrown by setBPM when not 0
    int rvaWriteError = 0; // thrown by setRVA when not 0
};

class FakeTag : public ovra::Tag {
public:
    FakeTag(FakeFile& file) : file(file), pending(file) {}
    void open(const char*, bool) override {}
    void update() override {}
    void close() override { file = pending; }
    void getGenre(char* buffer, int size) override { std::snprintf(buffer, size_t(size), "%s", file.genre.c_str()); }
    int getBPM() override { return file.bpm; }
    int getRVA() override { return unlessFailing(file.rvaReadError, file.rva); }
    void getData(const char* owner, uint32_t code, void* buffer, int size) override
    {
        if (!file.hasRecord || std::strcmp(owner, OWNER) != 0 || code != CODE)
            throw int(ovra::TAG_ERR_NOT_FOUND);
        std::memcpy(buffer, file.record, size_t(size) < 64 ? size_t(size) : 64);
    }
    void setBPM(int bpm) override { pending.bpm = unlessFailing(file.bpmWriteError, bpm); }
    void setRVA(int rva) override { pending.rva = unlessFailing(file.rvaWriteError, rva); }
    void setData(const char*, uint32_t, const void* data, int size) override
    {
        EXPECT_EQ(size, 64);
        std::memcpy(pending.record, data, 64);
        pending.hasRecord = true;
    }
    const char* implementation() override { return "fake"; }
    uint32_t kind() override { return ovra::TAG_KIND_TAGLIB; }

private:
    FakeFile& file;
    FakeFile pending; // one tag a track: what close() leaves in the file
    // The value read or written, or the error code the file is set to fail with.
    static int unlessFailing(int error, int value)
    {
        if (error != 0)
            throw error;
        return value;
    }
};

class RecordingDisplay : public BatchDisplay {
public:
    std::vector<std::string> log;
    std::string ended;
    int range = -1;
    void setFileLine(const char*) override {}
    void setStatusLine(const char*) override {}
    void setProgressRange(int count) override { range = count; }
    void setProgressValue(int) override {}
    void batchEnded(const char* message, bool) override { ended = message; }
    void logEntry(const char* text) override { log.push_back(text); }
    std::vector<TrackResult> results;
    void trackFinished(const TrackResult& result) override { results.push_back(result); }
};

// The analysis each track gets: two minutes at 44100 Hz, 120 BPM.
AnalysisOutcome standardOutcome()
{
    AnalysisOutcome o;
    o.status = AnalysisStatus::ok;
    o.sampleRate = 44100.0;
    TrackAnalysis& a = o.analysis;
    a.sampleRate = 44100;
    a.frameCount = 44100 * 120;
    a.loudness = 20000;
    a.peakLevel = 30000;
    a.beatPeriod = 22050;
    a.startPeriod = a.firstBeat = 44100;
    a.endPeriod = a.lastBeat = 44100 * 110;
    return o;
}
const TrackTimes TIMES = computeTimes(standardOutcome().analysis, 44100.0, false);
const VolumeAdjustment VOLUME = computeVolume(20000, 30000);

class FakeProcessor : public BatchProcessor {
public:
    std::map<std::string, FakeFile> files;
    int analyses = 0;
    std::function<AnalysisOutcome(const char*, ovra::Canceler&)> analyzer;
    std::vector<ITunesUpdateInput> updates;
    std::function<void()> onLibrary; // runs in the library step
    bool realLibrary = false;        // the library step through the real helper
    using BatchProcessor::BatchProcessor;

protected:
    std::unique_ptr<ovra::Tag> openTrackTag(const char* path) override
    {
        return std::make_unique<FakeTag>(files[path]);
    }
    AnalysisOutcome analyzeTrackAudio(const char* path, ovra::Canceler& canceler, const AnalysisOptions&) override
    {
        ++analyses;
        return analyzer ? analyzer(path, canceler) : standardOutcome();
    }
    void updateLibrary(const ITunesUpdateInput& input) override
    {
        updates.push_back(input);
        if (onLibrary)
            onLibrary();
        if (realLibrary)
            BatchProcessor::updateLibrary(input);
    }
};

// The script helpers (osatender) this process started, by pid.
std::vector<pid_t> helpers()
{
    std::vector<pid_t> found;
    std::istringstream pids(runcommand("pgrep -x -P " + std::to_string(getpid()) + " osatender"));
    for (pid_t p; pids >> p;)
        found.push_back(p);
    return found;
}

const std::string PROCESSING = "Processing: ";
const std::string UPDATED = "Track updated.\n";
const std::string UP_TO_DATE = "Track is up-to-date.\n";
const std::string OTHER_APP = "Data set by another application (check appropriate checkbox(es) to overwrite).\n";
const std::string ERRORS = "There were errors. Check the log file for details.";

class Pipeline : public ::testing::Test {
protected:
    testsupport::TempHome home;
    fs::path dir = home.root();
    RecordingDisplay display;
    std::unique_ptr<FakeProcessor> processor = std::make_unique<FakeProcessor>(display);
    BatchSettings settings;
    BatchOptions options;
    ovra::Canceler_normal canceler;

    void SetUp() override
    {
        settings.genrepolicy = GENRES_ALL;
        options.exportToLibrary = false;
    }

    // One track through the pipeline, outside a batch; returns its log.
    std::vector<std::string> runTrack(const std::string& path)
    {
        processor->setSettings(settings);
        display.log.clear();
        processor->processTrack(path.c_str(), -1, options, canceler);
        return display.log;
    }
    // A whole batch; returns its log without the start line.
    std::vector<std::string> runBatch()
    {
        display.log.clear();
        processor->setSettings(settings);
        processor->runBatch(options, canceler);
        return {display.log.begin() + 1, display.log.end()};
    }
    FakeFile& file(const std::string& path) { return processor->files[path]; }
    // A library run over the given library file.
    void writeLibrary(const std::string& tracks, const std::string& playlists)
    {
        writefile((dir / "library.xml").string(), libraryText(tracks, playlists));
        settings.libraryFile = (dir / "library.xml").string();
        settings.source = SOURCE_LIBRARY;
    }
    // A folder run over dir/music holding the given files.
    void writeFolder(std::initializer_list<const char*> names)
    {
        settings.source = SOURCE_FOLDER;
        settings.path = (dir / "music").string();
        fs::create_directories(settings.path);
        for (const char* name : names)
            writefile(settings.path + "/" + name, "x");
    }
    // A library whose one playlist holds its one track, 5, with the given entries.
    void writeLibraryOf(const std::string& body) { writeLibrary(track(5, body), "<dict>" + items({5}) + "</dict>"); }
};

std::vector<std::string> lines(std::initializer_list<std::string> l) { return l; }

} // namespace

// A first run, a second that reuses the record, values of another program,
// cancelling between tracks, the genre filter and files that cannot be read or
// written are checked end to end on real files (BatchCli).

TEST_F(Pipeline, TheRecordVouchesForATagVolumeWithinFifteenAndALibraryVolumeWithinTwo)
{
    options.detectbpm = false;
    options.adjustvolume = true;
    runTrack("/m/v.mp3");
    FakeFile& f = file("/m/v.mp3");
    const int ours = int32_t(ovra::getbe32(f.record + 60));
    EXPECT_EQ(ours, VOLUME.value);
    EXPECT_EQ(f.rva, ours); // 257 or more from 0
    // Moved by another program: by 15 still ours and too little to rewrite, by
    // 16 not ours; overwriting sets it back only when it moved by 257 or more.
    struct Row {
        int moved;
        bool overwrite;
        const std::string& outcome;
        int after = 0; // the tag's volume after, from ours
    };
    const Row rows[] = {
        {15, false, UP_TO_DATE, 15}, {16, false, OTHER_APP, 16}, {256, true, UP_TO_DATE, 256}, {257, true, UPDATED, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.moved);
        options.overwritevolume = row.overwrite;
        f.rva = ours + row.moved;
        EXPECT_EQ(runTrack("/m/v.mp3").back(), row.outcome);
        EXPECT_EQ(f.rva, ours + row.after);
    }
    // A volume that cannot be read is not ours either.
    options.overwritevolume = false;
    file("/m/r.mp3").rvaReadError = ovra::TAG_ERR_UNUSABLE;
    EXPECT_EQ(runTrack("/m/r.mp3").back(), OTHER_APP);
    // Another code only reads as 0.
    file("/m/r.mp3").rvaReadError = 5;
    EXPECT_EQ(runTrack("/m/r.mp3").back(), UPDATED);
    // overwritevolume keeps it.
    file("/m/s.mp3").rvaReadError = ovra::TAG_ERR_UNUSABLE;
    options.overwritevolume = true;
    EXPECT_EQ(runTrack("/m/s.mp3").back(), UPDATED);

    // A library volume: the record vouches for one within 2 of ours.
    const std::string lib = location("file:///m/lib.mp3");
    options.overwritevolume = false;
    writeLibraryOf(lib + integer("Volume Adjustment", 0));
    EXPECT_EQ(runBatch().back(), UPDATED);
    const int library = int(std::lround(VOLUME.value * 255.0 / 65535.0));
    const Row libraryRows[] = {
        {2, false, UP_TO_DATE}, {-2, false, UP_TO_DATE}, {3, false, OTHER_APP}, {3, true, UP_TO_DATE}};
    for (const auto& row : libraryRows) {
        SCOPED_TRACE(row.moved);
        options.overwritevolume = row.overwrite;
        writeLibraryOf(lib + integer("Volume Adjustment", library + row.moved));
        EXPECT_EQ(runBatch().back(), row.outcome);
    }
}

TEST_F(Pipeline, FailedWritesAndAnalysesAreLoggedAndCounted)
{
    options.adjustvolume = true;
    file("/m/w.m4a").rvaWriteError = ovra::TAG_ERR_UNSUPPORTED; // no RVA in this tag: silent
    file("/m/w.m4a").bpmWriteError = 13;
    EXPECT_EQ(runTrack("/m/w.m4a"),
              lines({PROCESSING + "/m/w.m4a\n",
                     "Could not set BPM (" + std::to_string(computeBPM(22050, 44100.0)) + ") in tag: error code 13.\n",
                     "Error code 13: Permission denied.\n", UPDATED})); // the record was still written
    EXPECT_EQ(processor->errorCount(), 1);

    file("/m/x.mp3").rvaWriteError = 28;
    char expected[128];
    std::snprintf(expected, sizeof expected, "Could not set RVA (%+d%%) in tag: error code 28.\n", VOLUME.percent);
    EXPECT_EQ(runTrack("/m/x.mp3")[1], expected);

    // A failure of the analysis ends the track (its failure line is checked
    // end to end: BatchCli.BadInputIsLoggedAndLeftAsItWas).
    processor->analyzer = [](const char*, ovra::Canceler&) -> AnalysisOutcome { throw 1234; };
    EXPECT_EQ(runTrack("/m/broken.mp3"),
              lines({PROCESSING + "/m/broken.mp3\n", "Could not decode track: error code 1234.\n",
                     "Error code 1234: Unknown error 1234.\n"}));
    EXPECT_EQ(processor->errorCount(), 3);
    EXPECT_FALSE(file("/m/broken.mp3").hasRecord);
}

TEST_F(Pipeline, UnusableRecordsAreAnalysedAgainAndRecordsOfAnotherVersionVouchForNothing)
{
    runTrack("/m/z.mp3");
    FakeFile& f = file("/m/z.mp3");
    ASSERT_EQ(processor->analyses, 1);
    uint8_t good[64];
    std::memcpy(good, f.record, 64);
    // A beat period of 0, a sample rate below 11050, shorter than 4 s, analysis flags incomplete.
    const std::pair<int, uint32_t> damages[] = {{28, 0}, {12, 8000}, {16, 44100 * 3}, {8, 0x10F}};
    for (auto [offset, value] : damages) {
        SCOPED_TRACE(offset);
        const int before = processor->analyses;
        ovra::putbe32(f.record + offset, value);
        runTrack("/m/z.mp3");
        EXPECT_EQ(processor->analyses, before + 1);
        EXPECT_EQ(0, std::memcmp(f.record, good, 64)); // and written back whole
    }

    // Another program set the BPM and left a record that would vouch for it,
    // but not in our format: the BPM stays theirs (overwriting it is checked
    // end to end: BatchCli.TheGenreFilterAndValuesWrittenByAnotherTagger).
    f.bpm = 77;
    ovra::putbe32(f.record + 48, 77);
    f.record[4] = 2;
    EXPECT_EQ(runTrack("/m/z.mp3").back(), OTHER_APP);
    EXPECT_EQ(f.bpm, 77);
}

TEST_F(Pipeline, LibraryRunsUseTheLibraryValues)
{
    writeLibrary(track(10,
                       integer("Track ID", 10) + location("file://localhost/m/Rock%20&#38;%20Roll.mp3") +
                           integer("Start Time", 1500)) +
                     track(11,
                           location("file:///m/plain.mp3") + integer("Volume Adjustment", 40) +
                               "<key>Persistent ID</key><string>00AB</string>") +
                     track(12, location("http://radio.example/stream")) +
                     track(13, location("file:///m/not-in-library-playlist.mp3")) +
                     track(14, text("Name", "Only online")),
                 playlist("Library", items({10, 12, 14, 99, 11})) + playlist("Rock &amp; Roll", items({11})) +
                     playlist("Rock &amp; Roll", items({13})) + playlist("Empty", ""));
    options.optimizetimes = true;
    options.adjustvolume = true;
    // A track kept online only and an item naming no track are logged, and
    // the batch goes on; only the latter is damage, counted as an error.
    EXPECT_EQ(runBatch(),
              lines({PROCESSING + "/m/Rock & Roll.mp3\n", UPDATED,
                     "File is not local: skipping 'http://radio.example/stream'.\n",
                     "Track 14 has no file location (it may be kept online only): skipping it.\n",
                     "Track 99 of the playlist is not in the iTunes library: skipping it.\n",
                     PROCESSING + "/m/plain.mp3\n", UPDATED}));
    EXPECT_EQ(display.ended, ERRORS);
    EXPECT_EQ(processor->errorCount(), 1);
    EXPECT_EQ(display.range, 5);
    // Track 10: the library's start time is not ours, so no times; volume free.
    EXPECT_EQ(ovra::getbe32(file("/m/Rock & Roll.mp3").record + 8), 0x51Fu);
    // Track 11: the library's volume is not ours, so no volume; times free.
    EXPECT_EQ(ovra::getbe32(file("/m/plain.mp3").record + 8), 0x31Fu);
    EXPECT_EQ(int32_t(ovra::getbe32(file("/m/plain.mp3").record + 52)), TIMES.startMs);
    EXPECT_EQ(int32_t(ovra::getbe32(file("/m/plain.mp3").record + 56)), TIMES.stopMs);
    EXPECT_EQ(processor->files.count("/m/not-in-library-playlist.mp3"), 0u);

    // A playlist by its name as stored too; the first of two of that name wins
    // (by the name as typed, missing or empty: BatchCli.LibraryAndPlaylistRuns).
    settings.source = SOURCE_PLAYLIST;
    settings.playlist = "Rock &amp; Roll";
    EXPECT_EQ(runBatch(), lines({PROCESSING + "/m/plain.mp3\n", UP_TO_DATE}));
}

TEST_F(Pipeline, FolderRunsTakeIdsFromTheLibraryWhenExportingAndAMissingFolderEndsWithAnError)
{
    const std::string m = (dir / "music").string();
    writeLibrary(track(7, location("file://localhost" + m + "/known.mp3")), "<dict>" + items({7}) + "</dict>");
    writeFolder({"known.mp3", "unknown.m4a", "notes.txt"});
    options.detectbpm = false;
    options.optimizetimes = true;
    options.exportToLibrary = true;
    auto log = runBatch();
    // Only the file the library knows can get times.
    EXPECT_EQ(std::count(log.begin(), log.end(), UPDATED), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), OTHER_APP), 1);
    EXPECT_TRUE(file(m + "/known.mp3").hasRecord);

    // Without export the library is not read: no IDs, no times.
    options.exportToLibrary = false;
    settings.libraryFile = "/nonexistent.xml";
    log = runBatch();
    EXPECT_EQ(std::count(log.begin(), log.end(), OTHER_APP), 2);

    // No library file anywhere: where it was looked for, and the tracks go on
    // without IDs (a named one that cannot be read: BatchCli.LibraryAndPlaylistRuns).
    options.exportToLibrary = true;
    settings.libraryFile.clear();
    log = runBatch();
    const std::string music = (dir / "Music/iTunes/iTunes Music Library.xml").string(),
                      documents = (dir / "Documents/iTunes/iTunes Music Library.xml").string();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1],
              "Looked for the iTunes library file at '" + music + "', '" + documents +
                  "'. To use another, choose it with \"Choose File...\" in the window (kept as the setting "
                  "\"libraryfile\" in '" +
                  (dir / ".config").string() +
                  "/com.quillfen.tempix.conf'), or name it with tempix-cli --library-file PATH.\n");
    EXPECT_EQ(std::count(log.begin(), log.end(), OTHER_APP), 2);
    EXPECT_EQ(display.ended, "Done");

    // A library file that is there but broken still ends the batch, and says where.
    fs::create_directories(dir / "Music/iTunes");
    writefile(music, "<dict><key>a</key>\n");
    EXPECT_EQ(runBatch(),
              lines({"Error while reading iTunes database: error code 20109.\n",
                     "Library file '" + music + "': at line 1, the file ends where a tag is expected.\n"}));

    // A missing folder ends with an error (an empty folder and the log file's
    // start line are checked end to end: BatchCli).
    options.exportToLibrary = false;
    settings.path = (dir / "missing").string();
    EXPECT_EQ(runBatch(), lines({"Could not open '" + settings.path + "': No such file or directory (errno 2).\n"}));
    EXPECT_EQ(display.ended, ERRORS);
    EXPECT_EQ(processor->outcome(), BatchProcessor::Outcome::finished);
}

TEST_F(Pipeline, AnUnexpectedExceptionEndsTheBatchInOrder)
{
    writeFolder({"a.mp3"});
    processor->analyzer = [](const char*, ovra::Canceler&) -> AnalysisOutcome { throw std::bad_alloc(); };
    for (int jobs : {1, 2}) {
        SCOPED_TRACE(jobs);
        settings.jobs = jobs;
        display.results.clear();
        EXPECT_EQ(runBatch().back(), "Batch stopped by an unexpected error: std::bad_alloc.\n");
        EXPECT_EQ(display.ended, "Batch stopped by an unexpected error");
        EXPECT_EQ(processor->errorCount(), 1);
        // The track it left did not finish, whichever thread it ran on.
        ASSERT_EQ(display.results.size(), 1u);
        EXPECT_EQ(display.results[0].outcome, TrackOutcome::failed);
    }
}

// What became of a track comes to the front ends as data, not as log text:
// the tag's and the library's outcome, the values before and after, and the
// reason of a failure or a skip, also when the log's wording says otherwise.
TEST_F(Pipeline, EachTrackSaysWhatBecameOfItAsData)
{
    auto last = [&](const std::string& path) {
        display.results.clear();
        runTrack(path);
        EXPECT_EQ(display.results.size(), 1u);
        return display.results.empty() ? TrackResult() : display.results.back();
    };
    options.adjustvolume = true;
    file("/m/a.mp3").bpm = 99;
    options.overwritebpm = true;
    TrackResult r = last("/m/a.mp3");
    EXPECT_EQ(r.outcome, TrackOutcome::updated);
    EXPECT_EQ(r.tag, TagOutcome::updated);
    EXPECT_EQ(r.library, LibraryOutcome::none) << "not exported";
    const int bpm = computeBPM(standardOutcome().analysis.beatPeriod, 44100.0);
    EXPECT_EQ(r.before.bpm, 99);
    EXPECT_EQ(r.after.bpm, bpm);
    EXPECT_EQ(r.after.volume.percent, VOLUME.percent);
    EXPECT_EQ(last("/m/a.mp3").outcome, TrackOutcome::upToDate);
    options.dryRun = true;
    EXPECT_EQ(last("/m/b.mp3").outcome, TrackOutcome::wouldUpdate);
    EXPECT_EQ(file("/m/b.mp3").bpm, 0);
    options.dryRun = false;

    // A track whose file is named like the pipeline's own lines is not taken for them.
    file("/m/Track updated.\n").bpm = 0;
    processor->analyzer = [](const char*, ovra::Canceler&) {
        AnalysisOutcome o;
        o.failure = "Track updated.\n";
        return o;
    };
    r = last("/m/Track updated.\n");
    EXPECT_EQ(r.outcome, TrackOutcome::failed);
    EXPECT_EQ(r.tag, TagOutcome::none);
    EXPECT_EQ(r.reason, "Track updated.");
    processor->analyzer = nullptr;

    // Nothing to do is said, and nothing is read; times need a library ID.
    const int analyses = processor->analyses;
    options.detectbpm = false;
    options.adjustvolume = false;
    for (bool times : {false, true}) {
        options.optimizetimes = times;
        r = last("/m/c.mp3");
        EXPECT_EQ(r.outcome, TrackOutcome::skipped);
        EXPECT_EQ(r.reason + "\n", OTHER_APP);
        EXPECT_EQ(display.log.back(), OTHER_APP);
    }
    EXPECT_EQ(processor->analyses, analyses);
}

// The values themselves reach the library file end to end
// (PipelineWithHelper, BatchCli.AFolderRunWritesEveryFormatAndASecondFindsThemUpToDate).
TEST_F(Pipeline, TheLibraryStepGetsWhatTheTrackWorkedOut)
{
    writeLibraryOf(location("file:///m/lib.m4a") + integer("BPM", 120) + integer("Start Time", 0) +
                   integer("Volume Adjustment", 0) + "<key>Persistent ID</key><string>00ABCDEF12345678</string>");
    options.optimizetimes = true;
    options.adjustvolume = true;
    options.exportToLibrary = true;
    runBatch();
    ASSERT_EQ(processor->updates.size(), 1u);
    const ITunesUpdateInput& in = processor->updates[0];
    EXPECT_EQ(in.trackId, 5);
    EXPECT_EQ(in.persistentId, 0x00ABCDEF12345678ull);
    EXPECT_TRUE(in.values.hasBpm && in.values.hasTimes && in.values.hasVolume);
    EXPECT_EQ(in.tagKind, ovra::TAG_KIND_TAGLIB);
    // The library's BPM of 120 differs from ours; the volume moved by 257 or more.
    EXPECT_EQ(in.iTunesChanged, in.values.bpm != 120 || std::abs(VOLUME.value) >= 257);

    // A cancelled track never reaches the library step.
    processor->updates.clear();
    options.reprocess = true;
    processor->analyzer = [](const char*, ovra::Canceler& c) {
        c.cancel();
        return standardOutcome();
    };
    runBatch();
    EXPECT_TRUE(processor->updates.empty());
}

// A cancel keeps the rows of the tracks that finished, one job or several,
// and the log says how far the batch got.
TEST_F(Pipeline, ACancelKeepsTheRowsOfTheFinishedTracksAndIsLogged)
{
    writeLibrary(track(1, location("file:///m/1.mp3")) + track(2, location("file:///m/2.mp3")) +
                     track(3, location("file:///m/3.mp3")),
                 "<dict>" + items({1, 2, 3}) + "</dict>");
    // The cancel comes in the analysis of track 2, or after track 1's tag was
    // written (in its library step): a written track keeps its row either way.
    struct Case {
        int jobs;
        bool inLibraryStep;
    };
    for (const Case& c : {Case{1, false}, Case{2, false}, Case{1, true}}) {
        SCOPED_TRACE(testing::Message() << c.jobs << " jobs, cancel in the library step: " << c.inLibraryStep);
        settings.jobs = c.jobs;
        processor = std::make_unique<FakeProcessor>(display);
        for (const char* path : {"/m/1.mp3", "/m/2.mp3", "/m/3.mp3"})
            file(path); // made here: the workers only look them up
        display.results.clear();
        display.log.clear();
        ovra::Canceler_normal fresh; // a cancel is for good
        processor->analyzer = [&c](const char* path, ovra::Canceler& canceler) {
            if (!c.inLibraryStep && std::string(path) == "/m/2.mp3")
                canceler.cancel();
            return standardOutcome();
        };
        if (c.inLibraryStep)
            processor->onLibrary = [&fresh] { fresh.cancel(); };
        processor->setSettings(settings);
        processor->runBatch(options, fresh);
        // Every track that was written has its row, and only those; one job
        // stops in track 2, several may have finished a track beside it.
        size_t written = 0;
        for (const TrackResult& r : display.results) {
            EXPECT_EQ(r.outcome, TrackOutcome::updated) << r.path;
            EXPECT_NE(file(r.path).bpm, 0) << r.path;
        }
        for (const auto& [path, f] : processor->files)
            written += f.bpm != 0;
        EXPECT_EQ(display.results.size(), written);
        EXPECT_EQ(display.log.back(), "Batch cancelled after " + std::to_string(written) + " of 3 tracks.\n");
        if (c.jobs == 1) {
            ASSERT_EQ(display.results.size(), 1u);
            EXPECT_EQ(display.results[0].path, "/m/1.mp3");
        }
        EXPECT_EQ(processor->outcome(), BatchProcessor::Outcome::cancelled);
    }
}

// A listing decodes and writes nothing; a track with a stored analysis
// shows what a run would set from it (one without is listed end to end:
// BatchCli.TheTerminalShowsWhatEachTrackGotAndJsonListsItAsData).
TEST_F(Pipeline, AListingShowsWhatARunWouldSetFromTheStoredAnalysisAlone)
{
    options.adjustvolume = true;
    runTrack("/m/a.mp3"); // stores an analysis, BPM and volume
    FakeFile& f = file("/m/a.mp3");
    const int bpm = f.bpm;
    f.bpm = 0; // as another program's edit would leave it
    const FakeFile before = f;
    const int analyses = processor->analyses;
    options.listOnly = options.dryRun = true;
    display.results.clear();
    runTrack("/m/a.mp3");
    EXPECT_EQ(processor->analyses, analyses);
    EXPECT_EQ(f.bpm, 0);
    EXPECT_EQ(0, std::memcmp(f.record, before.record, 64));
    ASSERT_EQ(display.results.size(), 1u);
    const TrackResult& stored = display.results[0];
    EXPECT_TRUE(stored.listed && stored.hasRecord && stored.after.hasBpm && stored.after.hasVolume);
    EXPECT_EQ(stored.before.bpm, 0);
    EXPECT_EQ(stored.after.bpm, bpm);
}

TEST_F(Pipeline, ARunWithFewerOptionsKeepsTheOtherResults)
{
    const std::string all = location("file:///m/all.mp3");
    writeLibraryOf(all);
    options.optimizetimes = true;
    options.adjustvolume = true;
    runBatch();
    FakeFile& f = file("/m/all.mp3");
    ASSERT_EQ(ovra::getbe32(f.record + 8), 0x71Fu);
    uint8_t full[64];
    std::memcpy(full, f.record, 64);
    // The library now holds our times, as the helper would have set them.
    writeLibraryOf(all + integer("Start Time", TIMES.startMs) + integer("Stop Time", TIMES.stopMs));

    // BPM only, then a folder run that knows no library: the record still
    // vouches for the times and the volume.
    options.optimizetimes = false;
    options.adjustvolume = false;
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
    settings.source = SOURCE_FOLDER;
    options.optimizetimes = true;
    EXPECT_EQ(runTrack("/m/all.mp3").back(), UP_TO_DATE);
    EXPECT_EQ(0, std::memcmp(f.record, full, 64));

    // So a full run finds its own values, not another program's.
    settings.source = SOURCE_LIBRARY;
    options.adjustvolume = true;
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
    EXPECT_EQ(0, std::memcmp(f.record, full, 64));

    // And a run without tempo detection still owns the stored BPM.
    options.detectbpm = false;
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
    EXPECT_EQ(0, std::memcmp(f.record, full, 64));
}

// Pipes and devices named like tracks are checked end to end
// (BatchCli.BadInputIsLoggedAndLeftAsItWas).
TEST_F(Pipeline, ControlCharactersInNamesCannotForgeLogLines)
{
    settings.genrepolicy = GENRES_ONLY_GOOD;
    settings.goodgenres = "rock";
    file("/m/a\nTrack updated.\n.mp3").genre = "Pop\nTrack updated.";
    EXPECT_EQ(runTrack("/m/a\nTrack updated.\n.mp3"),
              lines({"Processing: /m/a\\nTrack updated.\\n.mp3\n",
                     "Genre filter: skipping genre 'pop\\ntrack updated.'.\n"}));
}

namespace {

// A library of the two real files a.mp3 (track 10) and b.mp3 (track 11) in
// dir, with extra keys for each and more tracks; its playlist lists both.
std::string twoTracks(const fs::path& dir, const std::string& a, const std::string& b, const std::string& more = "")
{
    auto entry = [&](int id, const char* name, const std::string& extra) {
        return track(id,
                     integer("Track ID", id) + "<key>Track Type</key><string>File</string>" +
                         location("file://" + (dir / name).string()) + extra);
    };
    return libraryText(entry(10, "a.mp3", a) + entry(11, "b.mp3", b) + more, playlist("Library", items({10, 11})));
}

std::string pid(const std::string& text) { return "<key>Persistent ID</key><string>" + text + "</string>"; }

const std::string LOST = "Track not updated in iTunes: the iTunes library file could not be saved.\n";

} // namespace

class PipelineWithHelper : public Pipeline {
protected:
    std::string library = (dir / "library.xml").string();
    const std::string stop = std::to_string(TIMES.stopMs);
    void SetUp() override
    {
        Pipeline::SetUp();
        std::string made = scripttest::makelibrary();
        ASSERT_FALSE(made.empty());
        // Real files for the helper's refresh: an MP3 without a tag.
        std::string four = made.substr(0, made.rfind('/')) + "/Music & \"Stuff\"/four.mp3";
        for (const char* name : {"a.mp3", "b.mp3"})
            fs::copy_file(four, dir / name);
        settings.libraryFile = library;
        settings.source = SOURCE_LIBRARY;
        options.optimizetimes = true;
        options.exportToLibrary = true;
        processor->realLibrary = true;
    }
    std::string stopTimes()
    {
        return plistquery(library, "t = d['Tracks']\nprint(t['10'].get('Stop Time'), t['11'].get('Stop Time'))");
    }
};

// A damaged or crafted library can make two tracks look alike. The batch and
// the helper read it by the same rules: the times of track 10 reach track 10,
// or, when its entry is ambiguous, no track at all, and the helper refuses
// that track too.
TEST_F(PipelineWithHelper, BothLibraryReadersPickTheSameTrackOrNone)
{
    const std::string A = "00000000000000AA", B = "00000000000000BB";
    const std::string twin = track(10, integer("Track ID", 10) + location("file://" + (dir / "b.mp3").string()));
    struct Row {
        const char* what;
        std::string a, b, more;
        bool ambiguous;
    } rows[] = {
        {"plain", pid(A), pid(B), "", false},
        {"one ID for two tracks", pid(B), pid(B), "", false},
        {"no persistent ID", "", pid(B), "", false},
        {"seventeen digits", pid(B + "1"), pid(B), "", true},
        {"an empty ID", pid(""), pid(B), "", true},
        {"a repeated persistent ID", pid(B) + pid(A), pid(B), "", true},
        {"a repeated track key", pid(A), pid(B), twin, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string text = twoTracks(dir, row.a, row.b, row.more);
        writefile(library, text);
        processor->files.clear();
        display.results.clear();
        auto log = runBatch();
        // Each track's row says what its library entry got, as data.
        for (const TrackResult& r : display.results)
            EXPECT_EQ(r.library, r.trackId == 10 && row.ambiguous ? LibraryOutcome::none : LibraryOutcome::updated)
                << r.trackId;
        EXPECT_EQ(display.results.back().trackId, 11);
        bool refused = std::any_of(log.begin(), log.end(), [](const std::string& l) {
            return l.find("ambiguous") != std::string::npos || l.find("more than once") != std::string::npos;
        });
        EXPECT_EQ(refused, row.ambiguous);
        if (row.ambiguous) {
            EXPECT_EQ(stopTimes(), "None " + stop + "\n"); // track 10 untouched, 11 as asked
            EXPECT_FALSE(file((dir / "a.mp3").string()).hasRecord);
            // The helper refuses to select that track as well.
            writefile(library + ".probe", text);
            ovra::AppleScriptServer probe;
            probe.setlibraryfile((library + ".probe").c_str());
            ASSERT_EQ(probe.start_external(), 0);
            char reply[80] = "";
            EXPECT_EQ(
                probe.executefromtext(scripttest::trackscript("database ID is 10", "").c_str(), reply, sizeof reply),
                0);
            EXPECT_STREQ(reply, "0");
        } else {
            EXPECT_EQ(std::count(log.begin(), log.end(), "iTunes updated.\n"), 2);
            EXPECT_EQ(stopTimes(), stop + " " + stop + "\n");
        }
    }
}

TEST_F(PipelineWithHelper, ALibraryThatCannotBeSavedIsNotReportedAsUpdated)
{
    // The helper may write no file as large as the library: every save fails
    // (as on a full disk), and the library stays as it was.
    const std::string text =
        twoTracks(dir, pid("00000000000000AA"), "",
                  track(12, "<key>Comments</key><string>" + std::string(300000, 'x') + "</string>"));
    writefile(library, text);
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 200000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto log = runBatch();
    setrlimit(RLIMIT_FSIZE, &old);

    // Each track's update is reported lost in its own place, then why.
    EXPECT_EQ(std::count(log.begin(), log.end(), "iTunes updated.\n"), 0);
    ASSERT_EQ(std::count(log.begin(), log.end(), LOST), 2);
    EXPECT_EQ(log[2], LOST);
    EXPECT_EQ(log[6], PROCESSING + (dir / "b.mp3").string() + "\n");
    EXPECT_EQ(log.back(), "Could not save the iTunes library file '" + library + "': File too large (errno 27).\n");
    EXPECT_EQ(processor->errorCount(), 3);
    EXPECT_EQ(display.ended, ERRORS);
    EXPECT_EQ(readfile(library), text);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().filename().string().rfind(".library.xml.", 0), 0u)
            << "temporary file left: " << entry.path();
}

TEST_F(PipelineWithHelper, AHelperThatDiedIsStartedAgainForTheNextTrack)
{
    writefile(library, twoTracks(dir, pid("00000000000000AA"), pid("00000000000000BB")));
    // The helper dies after the first track's update, before it saved.
    processor->analyzer = [](const char* path, ovra::Canceler&) {
        if (std::strstr(path, "b.mp3") != nullptr) {
            for (pid_t p : helpers()) {
                kill(p, SIGKILL);
                // Dead (a zombie for its parent to reap) before the track goes on.
                for (int i = 0;
                     i < 500 && readfile("/proc/" + std::to_string(p) + "/stat").find(") Z ") == std::string::npos; ++i)
                    usleep(1000);
            }
        }
        return standardOutcome();
    };
    auto log = runBatch();
    ASSERT_EQ(std::count(log.begin(), log.end(), LOST), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "iTunes updated.\n"), 1); // the second track, by a new helper
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "The script helper stopped before it saved the iTunes library file '" + library + "'.\n"),
              log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), LOST) - log.begin(), 2); // in the first track's place
    EXPECT_EQ(stopTimes(), "None " + stop + "\n");
    EXPECT_EQ(processor->errorCount(), 2);
}
