// The batch and its per-track decisions over in-memory tags and analyses, so
// that every rule can be driven to its edge; real files are in the end-to-end
// tests.
#include "../script/ScriptTestSupport.h"
#include "support/TempFolders.h"
#include "batch/BatchProcessor.h"
#include "platform/BigEndian.h"
#include "tags/Tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <dirent.h>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;
using namespace ovra::tempix;

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
    int closeError = 0;    // thrown by close when not 0
    int writes = 0;        // closes that wrote something
};

struct FakeStore {
    std::map<std::string, FakeFile> files;
};

class FakeTag : public ovra::Tag {
public:
    FakeTag(FakeStore& store, const std::string& path) : file(store.files[path]), pending(file) {}
    void open(const char*, bool) override {}
    void update() override {}
    void close() override
    {
        if (file.closeError != 0)
            throw file.closeError;
        if (dirty) {
            int writes = file.writes + 1;
            file = pending;
            file.writes = writes;
        }
    }
    void getGenre(char* buffer, int size) override { std::snprintf(buffer, size_t(size), "%s", file.genre.c_str()); }
    int getBPM() override { return file.bpm; }
    int getRVA() override
    {
        if (file.rvaReadError != 0)
            throw file.rvaReadError;
        return file.rva;
    }
    void getData(const char* owner, uint32_t code, void* buffer, int size) override
    {
        if (!file.hasRecord || std::strcmp(owner, OWNER) != 0 || code != CODE)
            throw int(ovra::TAG_ERR_NOT_FOUND);
        std::memcpy(buffer, file.record, size_t(size) < 64 ? size_t(size) : 64);
    }
    void setBPM(int bpm) override
    {
        if (file.bpmWriteError != 0)
            throw file.bpmWriteError;
        pending.bpm = bpm;
        dirty = true;
    }
    void setRVA(int rva) override
    {
        if (file.rvaWriteError != 0)
            throw file.rvaWriteError;
        pending.rva = rva;
        dirty = true;
    }
    void setData(const char*, uint32_t, const void* data, int size) override
    {
        EXPECT_EQ(size, 64);
        std::memcpy(pending.record, data, 64);
        pending.hasRecord = true;
        dirty = true;
    }
    const char* implementation() override { return "fake"; }
    uint32_t kind() override { return ovra::TAG_KIND_TAGLIB; }

private:
    FakeFile& file;
    FakeFile pending;
    bool dirty = false;
};

class RecordingDisplay : public BatchDisplay {
public:
    std::vector<std::string> log;
    std::vector<std::string> statuses;
    std::string ended;
    bool endedWithErrors = false;
    int range = -1;
    int value = -1;
    void setFileLine(const char*) override {}
    void setStatusLine(const char* text) override { statuses.push_back(text); }
    void setProgressRange(int count) override
    {
        range = count;
        value = 0;
    }
    void setProgressValue(int v) override { value = v; }
    void batchEnded(const char* message, bool errors) override
    {
        ended = message;
        endedWithErrors = errors;
    }
    void logEntry(const char* text) override { log.push_back(text); }
    // The log without its start line.
    std::vector<std::string> entries() const { return {log.begin() + 1, log.end()}; }
};

// The analysis each track gets: two minutes at 44100 Hz, 120 BPM.
TrackAnalysis standardAnalysis()
{
    TrackAnalysis a;
    a.sampleRate = 44100;
    a.frameCount = 44100 * 120;
    a.loudness = 20000;
    a.peakLevel = 30000;
    a.beatPeriod = 22050;
    a.startPeriod = 44100;
    a.endPeriod = 44100 * 110;
    a.firstBeat = 44100;
    a.lastBeat = 44100 * 110;
    return a;
}

class FakeProcessor : public BatchProcessor {
public:
    FakeStore& store;
    int analyses = 0;
    std::function<AnalysisOutcome(const char*, ovra::Canceler&)> analyzer;
    std::vector<ITunesUpdateInput> updates;
    bool realLibrary = false; // the library step through the real helper
    FakeProcessor(BatchDisplay& display, FakeStore& store) : BatchProcessor(display), store(store) {}

protected:
    ovra::Tag* openTrackTag(const char* path) override
    {
        if (std::strstr(path, "unreadable") != nullptr)
            throw int(ovra::TAG_ERR_UNUSABLE);
        return new FakeTag(store, path);
    }
    AnalysisOutcome analyzeTrackAudio(const char* path, ovra::Canceler& canceler) override
    {
        ++analyses;
        if (analyzer)
            return analyzer(path, canceler);
        AnalysisOutcome outcome;
        outcome.status = AnalysisStatus::ok;
        outcome.analysis = standardAnalysis();
        outcome.sampleRate = 44100.0;
        return outcome;
    }
    void updateLibrary(const ITunesUpdateInput& input) override
    {
        updates.push_back(input);
        if (realLibrary)
            BatchProcessor::updateLibrary(input);
    }
};

// The script helpers this process started (osatender), by pid.
std::vector<pid_t> helpers()
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        std::string stat = scripttest::readfile(std::string("/proc/") + e->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (stat.find("(osatender)") == std::string::npos || close == std::string::npos)
            continue;
        int ppid = std::atoi(stat.c_str() + close + 4); // ") S ppid"
        if (ppid == getpid())
            found.push_back(std::atoi(e->d_name));
    }
    if (proc)
        closedir(proc);
    return found;
}

const std::string PROCESSING = "Processing: ";
const std::string UPDATED = "Track updated.\n";
const std::string UP_TO_DATE = "Track is up-to-date.\n";
const std::string OTHER_APP = "Data set by another application (check appropriate checkbox(es) to overwrite).\n";

class Pipeline : public ::testing::Test {
protected:
    testsupport::TempHome home;
    fs::path dir = home.root();
    FakeStore store;
    RecordingDisplay display;
    std::unique_ptr<FakeProcessor> processor;
    BatchSettings settings;
    BatchOptions options;
    ovra::Canceler_normal canceler;

    void SetUp() override
    {
        processor = std::make_unique<FakeProcessor>(display, store);
        settings.genrepolicy = 0;
        options.exportToLibrary = false;
    }
    void TearDown() override { processor.reset(); }

    // One track through the pipeline, outside a batch; returns its log.
    std::vector<std::string> runTrack(const std::string& path, int32_t id = -1)
    {
        processor->setSettings(settings);
        display.log.clear();
        processor->processTrack(path.c_str(), id, options, canceler);
        return display.log;
    }
    std::vector<std::string> runBatch()
    {
        display.log.clear();
        processor->setSettings(settings);
        processor->runBatch(options, canceler);
        return display.entries();
    }
    FakeFile& file(const std::string& path) { return store.files[path]; }
    void writeLibrary(const std::string& body)
    {
        std::ofstream(dir / "library.xml") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                                           << body << "</plist>\n";
        settings.libraryFile = (dir / "library.xml").string();
    }
};

std::vector<std::string> lines(std::initializer_list<std::string> l) { return l; }

} // namespace

// A first run, a second that reuses the record, values of another program and
// cancelling between tracks are checked end to end on real files (BatchCli).

TEST_F(Pipeline, NothingToDoIsSaidAndNothingIsRead)
{
    options.detectbpm = false;
    EXPECT_EQ(runTrack("/m/c.mp3").back(), OTHER_APP);
    // Times need a library ID.
    options.optimizetimes = true;
    EXPECT_EQ(runTrack("/m/c.mp3").back(), OTHER_APP);
    EXPECT_EQ(processor->analyses, 0);
}

TEST_F(Pipeline, TheRecordVouchesForAVolumeWithinFifteen)
{
    options.detectbpm = false;
    options.adjustvolume = true;
    runTrack("/m/v.mp3");
    FakeFile& f = file("/m/v.mp3");
    int32_t ours = int32_t(ovra::getbe32(f.record + 60));
    int expected = computeVolume(20000, 30000).value;
    EXPECT_EQ(ours, expected);
    if (std::abs(expected) >= 257) {
        EXPECT_EQ(f.rva, expected);
    }

    // Another program moved it by 15: still ours, and too little to rewrite.
    f.rva = ours + 15;
    EXPECT_EQ(runTrack("/m/v.mp3").back(), UP_TO_DATE);
    EXPECT_EQ(f.rva, ours + 15);
    // By 16: not ours any more.
    f.rva = ours + 16;
    EXPECT_EQ(runTrack("/m/v.mp3").back(), OTHER_APP);
    // overwritevolume sets it back only when it moved by 257 or more.
    options.overwritevolume = true;
    f.rva = ours + 256;
    EXPECT_EQ(runTrack("/m/v.mp3").back(), UP_TO_DATE);
    EXPECT_EQ(f.rva, ours + 256);
    f.rva = ours + 257;
    EXPECT_EQ(runTrack("/m/v.mp3").back(), UPDATED);
    EXPECT_EQ(f.rva, ours);
}

TEST_F(Pipeline, AnUnreadableVolumeDropsTheVolume)
{
    options.detectbpm = false;
    options.adjustvolume = true;
    file("/m/r.mp3").rvaReadError = ovra::TAG_ERR_UNUSABLE;
    EXPECT_EQ(runTrack("/m/r.mp3").back(), OTHER_APP);
    // Another code only reads as 0.
    file("/m/r.mp3").rvaReadError = 5;
    EXPECT_EQ(runTrack("/m/r.mp3").back(), UPDATED);
    // overwritevolume keeps it.
    file("/m/s.mp3").rvaReadError = ovra::TAG_ERR_UNUSABLE;
    options.overwritevolume = true;
    EXPECT_EQ(runTrack("/m/s.mp3").back(), UPDATED);
}

TEST_F(Pipeline, FailedWritesAreLoggedAndCounted)
{
    options.adjustvolume = true;
    file("/m/w.m4a").rvaWriteError = ovra::TAG_ERR_UNSUPPORTED; // no RVA in this tag: silent
    file("/m/w.m4a").bpmWriteError = 13;
    auto log = runTrack("/m/w.m4a");
    int bpm = computeBPM(22050, 44100.0);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1], "Could not set BPM (" + std::to_string(bpm) + ") in tag: error code 13.\n");
    EXPECT_EQ(log[2], "Error code 13: Permission denied.\n");
    EXPECT_EQ(log[3], UPDATED); // the record was still written
    EXPECT_EQ(processor->errorCount(), 1);

    file("/m/x.mp3").rvaWriteError = 28;
    log = runTrack("/m/x.mp3");
    char expected[128];
    std::snprintf(expected, sizeof expected, "Could not set RVA (%+d%%) in tag: error code 28.\n",
                  computeVolume(20000, 30000).percent);
    EXPECT_EQ(log[1], expected);

    // A file that cannot be written is this track's failure; it stays as it was.
    file("/m/ro.mp3").closeError = 13;
    log = runTrack("/m/ro.mp3");
    EXPECT_EQ(log[log.size() - 2], "Could not write tag to file: error code 13.\n");
    EXPECT_EQ(log.back(), "Error code 13: Permission denied.\n");
    EXPECT_FALSE(file("/m/ro.mp3").hasRecord);
    EXPECT_EQ(file("/m/ro.mp3").bpm, 0);

    log = runTrack("/m/unreadable.mp3");
    EXPECT_EQ(log.back(), "Could not read metadata for this track.\n");
}

TEST_F(Pipeline, UnusableRecordsAreAnalysedAgain)
{
    runTrack("/m/z.mp3");
    FakeFile& f = file("/m/z.mp3");
    ASSERT_EQ(processor->analyses, 1);
    uint8_t good[64];
    std::memcpy(good, f.record, 64);

    ovra::putbe32(f.record + 28, 0); // beat period 0
    runTrack("/m/z.mp3");
    EXPECT_EQ(processor->analyses, 2);
    EXPECT_EQ(0, std::memcmp(f.record, good, 64)); // and written back whole

    ovra::putbe32(f.record + 12, 8000); // sample rate below 11050
    runTrack("/m/z.mp3");
    EXPECT_EQ(processor->analyses, 3);

    ovra::putbe32(f.record + 16, 44100 * 3); // shorter than 4 s
    runTrack("/m/z.mp3");
    EXPECT_EQ(processor->analyses, 4);

    ovra::putbe32(f.record + 8, 0x10F); // analysis flags incomplete
    runTrack("/m/z.mp3");
    EXPECT_EQ(processor->analyses, 5);

    runTrack("/m/z.mp3");
    EXPECT_EQ(processor->analyses, 5);
}

TEST_F(Pipeline, ARecordOfAnotherVersionVouchesForNothing)
{
    runTrack("/m/v.mp3");
    FakeFile& f = file("/m/v.mp3");
    ASSERT_EQ(processor->analyses, 1);
    const int ours = f.bpm;

    // Another program set the BPM and left a record that would vouch for it,
    // but not in our format: the BPM stays theirs and the record is replaced.
    f.bpm = 77;
    ovra::putbe32(f.record + 48, 77);
    f.record[4] = 2;
    auto log = runTrack("/m/v.mp3");
    EXPECT_EQ(log.back(), OTHER_APP);
    EXPECT_EQ(f.bpm, 77);
    EXPECT_EQ(processor->analyses, 1);

    options.overwritebpm = true;
    log = runTrack("/m/v.mp3");
    EXPECT_EQ(log.back(), UPDATED);
    EXPECT_EQ(processor->analyses, 2); // nothing stored could be reused
    EXPECT_EQ(f.bpm, ours);
    EXPECT_EQ(f.record[4], 1);
}

TEST_F(Pipeline, AnalysisFailuresEndTheTrack)
{
    processor->analyzer = [](const char*, ovra::Canceler&) {
        AnalysisOutcome o;
        o.status = AnalysisStatus::failed;
        o.failure = "Track too short (2.000 s).\n";
        return o;
    };
    auto log = runTrack("/m/short.mp3");
    EXPECT_EQ(log, lines({PROCESSING + "/m/short.mp3\n", "Track too short (2.000 s).\n"}));
    EXPECT_EQ(processor->errorCount(), 1);
    EXPECT_FALSE(file("/m/short.mp3").hasRecord);

    processor->analyzer = [](const char*, ovra::Canceler&) -> AnalysisOutcome { throw 1234; };
    log = runTrack("/m/broken.mp3");
    EXPECT_EQ(log[log.size() - 2], "Could not decode track: error code 1234.\n");
    EXPECT_EQ(log.back(), "Error code 1234: Unknown error 1234.\n");
    EXPECT_EQ(processor->errorCount(), 2);
}

// The genre filter is checked end to end (BatchCli.TheGenreFilter).

TEST_F(Pipeline, LibraryRunsUseTheLibraryValues)
{
    writeLibrary(
        "<dict>\n"
        "<key>Tracks</key>\n<dict>\n"
        "<key>10</key><dict><key>Track ID</key><integer>10</integer>"
        "<key>Location</key><string>file://localhost/m/Rock%20&#38;%20Roll.mp3</string>"
        "<key>Start Time</key><integer>1500</integer></dict>\n"
        "<key>11</key><dict><key>Location</key><string>file:///m/plain.mp3</string>"
        "<key>Volume Adjustment</key><integer>40</integer><key>Persistent ID</key><string>00AB</string></dict>\n"
        "<key>12</key><dict><key>Location</key><string>http://radio.example/stream</string></dict>\n"
        "<key>13</key><dict><key>Location</key><string>file:///m/not-in-library-playlist.mp3</string></dict>\n"
        "<key>14</key><dict><key>Name</key><string>Only online</string></dict>\n"
        "</dict>\n"
        "<key>Playlists</key>\n<array>\n"
        "<dict><key>Name</key><string>Library</string><key>Playlist Items</key><array>"
        "<dict><key>Track ID</key><integer>10</integer></dict>"
        "<dict><key>Track ID</key><integer>12</integer></dict>"
        "<dict><key>Track ID</key><integer>14</integer></dict>"
        "<dict><key>Track ID</key><integer>99</integer></dict>"
        "<dict><key>Track ID</key><integer>11</integer></dict>"
        "</array></dict>\n"
        "<dict><key>Name</key><string>Rock &amp; Roll</string><key>Playlist Items</key><array>"
        "<dict><key>Track ID</key><integer>11</integer></dict></array></dict>\n"
        "<dict><key>Name</key><string>Rock &amp; Roll</string><key>Playlist Items</key><array>"
        "<dict><key>Track ID</key><integer>13</integer></dict></array></dict>\n"
        "<dict><key>Name</key><string>Empty</string></dict>\n"
        "</array>\n</dict>\n");
    settings.source = SOURCE_LIBRARY;
    options.optimizetimes = true;
    options.adjustvolume = true;
    auto log = runBatch();
    // A track kept online only and an item naming no track are logged, and
    // the batch goes on; only the latter is damage, counted as an error.
    EXPECT_EQ(log,
              lines({PROCESSING + "/m/Rock & Roll.mp3\n", UPDATED,
                     "File is not local: skipping 'http://radio.example/stream'.\n",
                     "Track 14 has no file location (it may be kept online only): skipping it.\n",
                     "Track 99 of the playlist is not in the iTunes library: skipping it.\n",
                     PROCESSING + "/m/plain.mp3\n", UPDATED}));
    EXPECT_EQ(display.ended, "There were errors. Check the log file for details.");
    EXPECT_EQ(processor->errorCount(), 1);
    EXPECT_EQ(display.range, 5);
    EXPECT_EQ(display.value, 5);
    // Track 10: the library's start time is not ours, so no times; volume free.
    EXPECT_EQ(ovra::getbe32(file("/m/Rock & Roll.mp3").record + 8), 0x51Fu);
    // Track 11: the library's volume is not ours, so no volume; times free.
    EXPECT_EQ(ovra::getbe32(file("/m/plain.mp3").record + 8), 0x31Fu);
    TrackTimes times = computeTimes(standardAnalysis(), 44100.0, false);
    EXPECT_EQ(int32_t(ovra::getbe32(file("/m/plain.mp3").record + 52)), times.startMs);
    EXPECT_EQ(int32_t(ovra::getbe32(file("/m/plain.mp3").record + 56)), times.stopMs);
    EXPECT_EQ(store.files.count("/m/not-in-library-playlist.mp3"), 0u);

    // A playlist by its name as typed or as stored; the first of two wins.
    settings.source = SOURCE_PLAYLIST;
    settings.playlist = "Rock & Roll";
    log = runBatch();
    EXPECT_EQ(log, lines({PROCESSING + "/m/plain.mp3\n", UP_TO_DATE}));
    settings.playlist = "Rock &amp; Roll";
    log = runBatch();
    EXPECT_EQ(log.front(), PROCESSING + "/m/plain.mp3\n");

    // A playlist not found, or without items, is checked end to end
    // (BatchCli.LibraryAndPlaylistRuns).
}

TEST_F(Pipeline, FolderRunsTakeIdsFromTheLibraryWhenExporting)
{
    fs::create_directories(dir / "music");
    std::string m = (dir / "music").string();
    std::ofstream(dir / "music" / "known.mp3") << "x";
    std::ofstream(dir / "music" / "unknown.m4a") << "x";
    std::ofstream(dir / "music" / "notes.txt") << "x";
    writeLibrary("<dict><key>Tracks</key><dict><key>7</key><dict><key>Location</key><string>file://localhost" + m +
                 "/known.mp3</string></dict></dict><key>Playlists</key><array><dict><key>Playlist Items</key>"
                 "<array><dict><key>Track ID</key><integer>7</integer></dict></array></dict></array></dict>\n");
    settings.source = SOURCE_FOLDER;
    settings.path = m;
    options.detectbpm = false;
    options.optimizetimes = true;
    options.exportToLibrary = true;
    auto log = runBatch();
    // Only the file the library knows can get times.
    EXPECT_EQ(std::count(log.begin(), log.end(), UPDATED), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), OTHER_APP), 1);
    EXPECT_TRUE(file(m + "/known.mp3").hasRecord);
    EXPECT_EQ(display.range, 2);

    // Without export the library is not read: no IDs, no times.
    options.exportToLibrary = false;
    settings.libraryFile = "/nonexistent.xml";
    log = runBatch();
    EXPECT_EQ(std::count(log.begin(), log.end(), OTHER_APP), 2);

    // A named library file that cannot be read ends the batch.
    options.exportToLibrary = true;
    log = runBatch();
    EXPECT_EQ(
        log,
        lines({"Error while reading iTunes database: error code 20132.\n",
               "Library file '/nonexistent.xml': the file cannot be opened: No such file or directory (errno 2).\n"}));

    // No library file anywhere: where it was looked for, and the tracks go on without IDs.
    settings.libraryFile.clear();
    log = runBatch();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0],
              "No iTunes library file found at '" + (dir / "Documents/iTunes/iTunes Music Library.xml").string() +
                  "': processing tracks without library IDs.\n");
    EXPECT_EQ(log[1],
              "Looked for the iTunes library file at '" + (dir / "Music/iTunes/iTunes Music Library.xml").string() +
                  "', '" + (dir / "Documents/iTunes/iTunes Music Library.xml").string() +
                  "'. To use another, store its folder as the data value \"alis:1:iTunes Library Location\" in '" +
                  (dir / ".config").string() +
                  "/com.apple.iTunes.conf', or name the file with tempix-cli "
                  "--library-file PATH.\n");
    EXPECT_EQ(std::count(log.begin(), log.end(), OTHER_APP), 2);
    EXPECT_EQ(display.ended, "Done");

    // A library file that is there but broken still ends the batch, and says where.
    fs::create_directories(dir / "Music/iTunes");
    std::ofstream(dir / "Music/iTunes/iTunes Music Library.xml") << "<dict><key>a</key>\n";
    log = runBatch();
    EXPECT_EQ(log,
              lines({"Error while reading iTunes database: error code 20109.\n",
                     "Library file '" + (dir / "Music/iTunes/iTunes Music Library.xml").string() +
                         "': at line 1, the file ends where a tag is expected.\n"}));
}

TEST_F(Pipeline, AnEmptyFolderEndsDoneAMissingOneWithAnError)
{
    settings.source = SOURCE_FOLDER;
    fs::create_directories(dir / "empty");
    settings.path = (dir / "empty").string();
    EXPECT_TRUE(runBatch().empty());
    EXPECT_EQ(display.ended, "Done");
    settings.path = (dir / "missing").string();
    EXPECT_EQ(runBatch(), lines({"Could not open '" + settings.path + "': No such file or directory (errno 2).\n"}));
    EXPECT_EQ(display.range, 0);
    EXPECT_EQ(display.ended, "There were errors. Check the log file for details.");
    EXPECT_EQ(processor->outcome(), BatchProcessor::Outcome::finished);
    // The log file has the start line of each batch.
    std::ifstream in(dir / ".local/state/tempix/Tempix.log");
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.substr(24), ": Tempix started.");
    EXPECT_EQ(std::string(processor->logPath()), (dir / ".local/state/tempix/Tempix.log").string());
}

TEST_F(Pipeline, AnUnexpectedExceptionEndsTheBatchInOrder)
{
    fs::create_directories(dir / "music");
    std::ofstream(dir / "music" / "a.mp3") << "x";
    settings.source = SOURCE_FOLDER;
    settings.path = (dir / "music").string();
    processor->analyzer = [](const char*, ovra::Canceler&) -> AnalysisOutcome { throw std::bad_alloc(); };
    auto log = runBatch();
    EXPECT_EQ(log.back(), "Batch stopped by an unexpected error: std::bad_alloc.\n");
    EXPECT_EQ(display.ended, "Batch stopped by an unexpected error");
    EXPECT_EQ(processor->errorCount(), 1);
}

TEST_F(Pipeline, TheRecordVouchesForALibraryVolumeWithinTwo)
{
    auto library = [this](int volume) {
        writeLibrary("<dict><key>Tracks</key><dict><key>5</key><dict><key>Location</key>"
                     "<string>file:///m/lib.mp3</string><key>Volume Adjustment</key><integer>" +
                     std::to_string(volume) +
                     "</integer></dict></dict><key>Playlists</key><array><dict><key>Playlist Items</key>"
                     "<array><dict><key>Track ID</key><integer>5</integer></dict></array></dict></array></dict>\n");
    };
    settings.source = SOURCE_LIBRARY;
    options.detectbpm = false;
    options.adjustvolume = true;
    library(0);
    EXPECT_EQ(runBatch().back(), UPDATED);
    long ours = std::lround(computeVolume(20000, 30000).value * 255.0 / 65535.0);
    library(int(ours) + 2);
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
    library(int(ours) - 2);
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
    library(int(ours) + 3);
    EXPECT_EQ(runBatch().back(), OTHER_APP);
    options.overwritevolume = true;
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
}

TEST_F(Pipeline, TheLibraryStepGetsWhatTheTrackWorkedOut)
{
    writeLibrary("<dict><key>Tracks</key><dict><key>5</key><dict><key>Location</key>"
                 "<string>file:///m/lib.m4a</string><key>BPM</key><integer>120</integer>"
                 "<key>Start Time</key><integer>0</integer><key>Volume Adjustment</key><integer>0</integer>"
                 "<key>Persistent ID</key><string>00ABCDEF12345678</string></dict></dict>"
                 "<key>Playlists</key><array><dict><key>Playlist Items</key>"
                 "<array><dict><key>Track ID</key><integer>5</integer></dict></array></dict></array></dict>\n");
    settings.source = SOURCE_LIBRARY;
    options.optimizetimes = true;
    options.adjustvolume = true;
    options.exportToLibrary = true;
    runBatch();
    ASSERT_EQ(processor->updates.size(), 1u);
    const ITunesUpdateInput& in = processor->updates[0];
    EXPECT_TRUE(in.exportToLibrary);
    EXPECT_EQ(in.trackId, 5);
    EXPECT_EQ(in.persistentId, 0x00ABCDEF12345678ull);
    EXPECT_TRUE(in.doBpm && in.doTimes && in.doVolume);
    EXPECT_EQ(in.bpm, computeBPM(22050, 44100.0));
    TrackTimes times = computeTimes(standardAnalysis(), 44100.0, false);
    EXPECT_EQ(in.startMs, uint32_t(times.startMs));
    EXPECT_EQ(in.stopMs, uint32_t(times.stopMs));
    VolumeAdjustment volume = computeVolume(20000, 30000);
    EXPECT_EQ(in.volumePercent, volume.percent);
    EXPECT_EQ(in.libraryVolume, volume.libraryVolume);
    EXPECT_EQ(in.tagKind, ovra::TAG_KIND_TAGLIB);
    // The library's BPM of 120 differs from ours; the volume moved by 257 or more.
    EXPECT_EQ(in.iTunesChanged, in.bpm != 120 || std::abs(volume.value) >= 257);

    // A cancelled track never reaches the library step.
    processor->updates.clear();
    options.reprocess = true;
    processor->analyzer = [](const char*, ovra::Canceler& c) {
        c.cancel();
        AnalysisOutcome o;
        o.status = AnalysisStatus::ok;
        o.analysis = standardAnalysis();
        o.sampleRate = 44100.0;
        return o;
    };
    runBatch();
    EXPECT_TRUE(processor->updates.empty());
}

TEST_F(Pipeline, ARunWithFewerOptionsKeepsTheOtherResults)
{
    writeLibrary("<dict><key>Tracks</key><dict><key>5</key><dict><key>Location</key>"
                 "<string>file:///m/all.mp3</string></dict></dict><key>Playlists</key><array><dict>"
                 "<key>Playlist Items</key><array><dict><key>Track ID</key><integer>5</integer></dict></array>"
                 "</dict></array></dict>\n");
    settings.source = SOURCE_LIBRARY;
    options.optimizetimes = true;
    options.adjustvolume = true;
    runBatch();
    FakeFile& f = file("/m/all.mp3");
    ASSERT_EQ(ovra::getbe32(f.record + 8), 0x71Fu);
    uint8_t full[64];
    std::memcpy(full, f.record, 64);
    TrackTimes times = computeTimes(standardAnalysis(), 44100.0, false);
    // The library now holds our times, as the helper would have set them.
    writeLibrary("<dict><key>Tracks</key><dict><key>5</key><dict><key>Location</key>"
                 "<string>file:///m/all.mp3</string><key>Start Time</key><integer>" +
                 std::to_string(times.startMs) + "</integer><key>Stop Time</key><integer>" +
                 std::to_string(times.stopMs) +
                 "</integer></dict></dict><key>Playlists</key><array><dict>"
                 "<key>Playlist Items</key><array><dict><key>Track ID</key><integer>5</integer></dict></array>"
                 "</dict></array></dict>\n");

    // BPM only, then a folder run that knows no library: the record still
    // vouches for the times and the volume.
    options.optimizetimes = false;
    options.adjustvolume = false;
    EXPECT_EQ(runBatch().back(), UP_TO_DATE);
    settings.source = SOURCE_FOLDER;
    options.optimizetimes = true;
    EXPECT_EQ(runTrack("/m/all.mp3", -1).back(), UP_TO_DATE);
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
    settings.genrepolicy = 2;
    settings.goodgenres = "rock";
    file("/m/a\nTrack updated.\n.mp3").genre = "Pop\nTrack updated.";
    EXPECT_EQ(runTrack("/m/a\nTrack updated.\n.mp3"),
              lines({"Processing: /m/a\\nTrack updated.\\n.mp3\n",
                     "Genre filter: skipping genre 'pop\\ntrack updated.'.\n"}));
}

namespace {

// A library of the two real files a.mp3 (track 10) and b.mp3 (track 11) in
// dir, with extra keys for each; playlist 1 lists track 10 only.
std::string twoTracks(const fs::path& dir, const std::string& a, const std::string& b, const std::string& more = "")
{
    auto entry = [&](int id, const char* name, const std::string& extra) {
        return "<key>" + std::to_string(id) + "</key><dict><key>Track ID</key><integer>" + std::to_string(id) +
            "</integer><key>Track Type</key><string>File</string><key>Location</key><string>file://" +
            (dir / name).string() + "</string>" + extra + "</dict>\n";
    };
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>Tracks</key>\n<dict>\n" +
        entry(10, "a.mp3", a) + entry(11, "b.mp3", b) + more +
        "</dict>\n<key>Playlists</key>\n<array>\n<dict><key>Name</key><string>Library</string>"
        "<key>Playlist Items</key><array><dict><key>Track ID</key><integer>10</integer></dict>"
        "<dict><key>Track ID</key><integer>11</integer></dict></array></dict>\n</array>\n</dict>\n</plist>\n";
}

std::string pid(const std::string& text) { return "<key>Persistent ID</key><string>" + text + "</string>"; }

} // namespace

class PipelineWithHelper : public Pipeline {
protected:
    std::string library;
    void SetUp() override
    {
        Pipeline::SetUp();
        std::string made = scripttest::makelibrary("");
        ASSERT_FALSE(made.empty());
        // Real files for the helper's refresh: an MP3 without a tag.
        std::string four = made.substr(0, made.rfind('/')) + "/Music & \"Stuff\"/four.mp3";
        for (const char* name : {"a.mp3", "b.mp3"})
            fs::copy_file(four, dir / name);
        library = (dir / "library.xml").string();
        settings.libraryFile = library;
        settings.source = SOURCE_LIBRARY;
        options.optimizetimes = true;
        options.exportToLibrary = true;
        processor->realLibrary = true;
    }
    std::string stopTimes()
    {
        return scripttest::plistquery(library,
                                      "t = d['Tracks']\nprint(t['10'].get('Stop Time'), t['11'].get('Stop Time'))");
    }
};

// A damaged or crafted library can make two tracks look alike. The batch and
// the helper read it by the same rules: the times of track 10 reach track 10,
// or, when its entry is ambiguous, no track at all, and the helper refuses
// that track too.
TEST_F(PipelineWithHelper, BothLibraryReadersPickTheSameTrackOrNone)
{
    const std::string A = "00000000000000AA", B = "00000000000000BB";
    const std::string twin = "<key>10</key><dict><key>Track ID</key><integer>10</integer><key>Location</key>"
                             "<string>file://" +
        (dir / "b.mp3").string() + "</string></dict>\n";
    struct Row {
        const char* what;
        std::string a, b, more;
        bool ambiguous;
    } rows[] = {
        {"plain", pid(A), pid(B), "", false},
        {"one ID for two tracks", pid(B), pid(B), "", false},
        {"no persistent ID", "", pid(B), "", false},
        {"seventeen digits", pid(B + "1"), pid(B), "", true},
        {"a leading blank", pid(" " + B), pid(B), "", true},
        {"a 0x prefix", pid("0x" + B.substr(2)), pid(B), "", true},
        {"an empty ID", pid(""), pid(B), "", true},
        {"an ID that is no string", "<key>Persistent ID</key><integer>187</integer>", pid(B), "", true},
        {"a repeated persistent ID", pid(B) + pid(A), pid(B), "", true},
        {"a repeated start time",
         pid(A) + "<key>Start Time</key><integer>5</integer><key>Start Time</key><integer>5</integer>", pid(B), "",
         true},
        {"a repeated track key", pid(A), pid(B), twin, true},
    };
    const TrackTimes times = computeTimes(standardAnalysis(), 44100.0, false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string text = twoTracks(dir, row.a, row.b, row.more);
        scripttest::writefile(library, text);
        store.files.clear();
        auto log = runBatch();
        bool refused = std::any_of(log.begin(), log.end(), [](const std::string& l) {
            return l.find("ambiguous") != std::string::npos || l.find("more than once") != std::string::npos;
        });
        EXPECT_EQ(refused, row.ambiguous);
        const std::string stop = std::to_string(times.stopMs);
        if (row.ambiguous) {
            EXPECT_EQ(stopTimes(), "None " + stop + "\n"); // track 10 untouched, 11 as asked
            EXPECT_FALSE(file((dir / "a.mp3").string()).hasRecord);
            // The helper refuses to select that track as well.
            scripttest::writefile(library + ".probe", text);
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
    std::string text =
        twoTracks(dir, pid("00000000000000AA"), "",
                  "<key>12</key><dict><key>Comments</key><string>" + std::string(300000, 'x') + "</string></dict>\n");
    scripttest::writefile(library, text);
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 200000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto log = runBatch();
    setrlimit(RLIMIT_FSIZE, &old);

    // Each track's update is reported lost in its own place, then why.
    const std::string lost = "Track not updated in iTunes: the iTunes library file could not be saved.\n";
    EXPECT_EQ(std::count(log.begin(), log.end(), "iTunes updated.\n"), 0);
    ASSERT_EQ(std::count(log.begin(), log.end(), lost), 2);
    EXPECT_EQ(log[2], lost);
    EXPECT_EQ(log[3], "Settings for this track should be:\n");
    EXPECT_EQ(log[6], PROCESSING + (dir / "b.mp3").string() + "\n");
    EXPECT_EQ(log.back(), "Could not save the iTunes library file '" + library + "': File too large (errno 27).\n");
    EXPECT_EQ(processor->errorCount(), 3);
    EXPECT_EQ(display.ended, "There were errors. Check the log file for details.");
    EXPECT_EQ(scripttest::readfile(library), text);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_NE(entry.path().filename().string().rfind(".library.xml.", 0), 0u)
            << "temporary file left: " << entry.path();
}

TEST_F(PipelineWithHelper, AHelperThatDiedIsStartedAgainForTheNextTrack)
{
    scripttest::writefile(library, twoTracks(dir, pid("00000000000000AA"), pid("00000000000000BB")));
    // The helper dies after the first track's update, before it saved.
    processor->analyzer = [this](const char* path, ovra::Canceler&) {
        if (std::strstr(path, "b.mp3") != nullptr) {
            for (pid_t p : helpers()) {
                kill(p, SIGKILL);
                // Dead (a zombie for its parent to reap) before the track goes on.
                for (int i = 0; i < 500 &&
                     scripttest::readfile("/proc/" + std::to_string(p) + "/stat").find(") Z ") == std::string::npos;
                     ++i)
                    usleep(1000);
            }
        }
        AnalysisOutcome o;
        o.status = AnalysisStatus::ok;
        o.analysis = standardAnalysis();
        o.sampleRate = 44100.0;
        return o;
    };
    auto log = runBatch();
    const std::string lost = "Track not updated in iTunes: the iTunes library file could not be saved.\n";
    ASSERT_EQ(std::count(log.begin(), log.end(), lost), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "iTunes updated.\n"), 1); // the second track, by a new helper
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "The script helper stopped before it saved the iTunes library file '" + library + "'.\n"),
              log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), lost) - log.begin(), 2); // in the first track's place
    EXPECT_EQ(stopTimes(), "None " + std::to_string(computeTimes(standardAnalysis(), 44100.0, false).stopMs) + "\n");
    EXPECT_EQ(processor->errorCount(), 2);
}
