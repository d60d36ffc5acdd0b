// The iTunes step of a track: the script texts, the decisions, and the whole
// road through the real helper to the library file, with every way the helper
// can fail.
#include "support/ScriptLibrary.h"
#include "batch/ITunesUpdate.h"
#include "script/LibraryDocument.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <string>
#include <vector>

using namespace scripttest;
using ovra::TAG_KIND_ATOM;
using ovra::tempix::ITunesUpdateInput;

namespace {

constexpr uint32_t TAG_KIND_ID3LIB = 0x4944334C; // 'ID3L'

class Recorder : public ovra::tempix::ITunesUpdateSink {
public:
    std::string log;
    int errors = 0;
    std::vector<std::string> status;
    void logText(const char* text) override { log += text; }
    void countError() override { ++errors; }
    void setStatus(const char* text) override { status.push_back(text); }
};

// A track to export with every value, as the batch hands it on.
ITunesUpdateInput track(int32_t trackId, uint64_t persistentId, int bpm, ovra::tempix::TrackTimes times,
                        ovra::tempix::VolumeAdjustment volume, uint32_t tagKind)
{
    return {
        .exportToLibrary = true,
        .trackId = trackId,
        .persistentId = persistentId,
        .values = {.hasBpm = true, .bpm = bpm, .hasTimes = true, .times = times, .hasVolume = true, .volume = volume},
        .tagKind = tagKind};
}

ITunesUpdateInput mp4track() { return track(103, 0xABC, 128, {1234, 245678}, {0, -12, -31}, TAG_KIND_ATOM); }

TEST(ITunesScript, TextsByteForByte)
{
    // The BPM reaches the library by the refresh of the file: never a command.
    ITunesUpdateInput in = mp4track();
    EXPECT_EQ(ovra::tempix::iTunesScript(in),
              trackscript("persistent ID is \"0000000000000ABC\" and database ID is 103",
                          "set start of mytrack to 1.234\n"
                          "set finish of mytrack to 245.678\n"
                          "set the volume adjustment of mytrack to -12\n"));
    // An ID3 file's volume stays in its tag; only the BPM: no command lines;
    // no persistent ID: the track ID.
    in.tagKind = TAG_KIND_ID3LIB;
    in.values.hasTimes = false;
    in.persistentId = 0;
    EXPECT_EQ(ovra::tempix::iTunesScript(in), trackscript("database ID is 103", ""));
    in.persistentId = 0xF00000000000000Full;
    in.tagKind = TAG_KIND_ATOM;
    in.values.volume.percent = 7;
    EXPECT_EQ(ovra::tempix::iTunesScript(in),
              trackscript("persistent ID is \"F00000000000000F\" and database ID is 103",
                          "set the volume adjustment of mytrack to 7\n"));
}

class ITunesUpdate : public LibraryTest {
protected:
    ovra::AppleScriptServer server;
    Recorder sink;

    void SetUp() override
    {
        copylibrary("library.xml");
        server.setlibraryfile(library.c_str());
        server.setcalltimeout(3000);
    }

    // What the library file says about a track now, as the batch reads it.
    ITunesUpdateInput fromlibrary(ITunesUpdateInput in)
    {
        ovra::LibraryDocument doc;
        EXPECT_EQ(doc.load(library), 0);
        int64_t v = 0;
        in.libraryStart = doc.getinteger(in.trackId, "Start Time", v) ? v : 0;
        in.libraryStop = doc.getinteger(in.trackId, "Stop Time", v) ? v : 0;
        in.libraryVolumeAdjustment = doc.getinteger(in.trackId, "Volume Adjustment", v) ? v : 0;
        return in;
    }

    void update(const ITunesUpdateInput& in) { ovra::tempix::updateITunes(in, server, sink); }
};

TEST_F(ITunesUpdate, DecisionsWithoutAScript)
{
    // Nothing runs here: no helper is started, so any script would fail.
    // (Without export or a track ID nothing is asked: end to end, a folder
    // run without a library ends without errors, BatchCli.)
    // The library already holds the values: up to date. A volume 2 off is the same.
    ITunesUpdateInput in = mp4track();
    in.libraryStart = 1234;
    in.libraryStop = 245678;
    in.libraryVolumeAdjustment = -29;
    update(in);
    EXPECT_EQ(sink.log, "iTunes is up-to-date.\n");
    EXPECT_EQ(sink.errors, 0);
    // 3 off is a change, and so is a different start.
    for (int k = 0; k < 2; ++k) {
        sink.log.clear();
        in.libraryVolumeAdjustment = k == 0 ? -28 : -31;
        in.libraryStart = k == 0 ? 1234 : 1235;
        update(in);
        EXPECT_EQ(sink.log.rfind("Track not updated in iTunes: AppleScript error.\n", 0), 0u) << k;
    }
}

TEST_F(ITunesUpdate, UpdatesThenFindsTheLibraryUpToDate)
{
    ASSERT_EQ(server.start_external(), 0);
    ITunesUpdateInput mp4 = mp4track();
    // Its library volume is what the RVA in its tag gives on the library scale.
    ITunesUpdateInput mp3 = track(101, 0x00AB00CD00EF0012ull, 120, {2000, 9000}, {0, 2, 4}, TAG_KIND_ID3LIB);
    mp3.iTunesChanged = true; // the BPM differed from the library's

    update(fromlibrary(mp4));
    update(fromlibrary(mp3));
    EXPECT_EQ(sink.log, "iTunes updated.\niTunes updated.\n");
    EXPECT_EQ(sink.errors, 0);
    EXPECT_EQ(sink.status, (std::vector<std::string>{"Updating iTunes", "Updating iTunes"}));
    server.stop(); // the end of the batch writes the library

    EXPECT_EQ(plistquery(library,
                         "for k in ('103', '101'):\n"
                         "    t = d['Tracks'][k]\n"
                         "    print(t['Start Time'], t['Stop Time'], t['Volume Adjustment'], t['BPM'])"),
              "1234 245678 -31 128\n2000 9000 4 120\n");
    // What the library now holds is what the next run compares with: up to date.
    mp3.iTunesChanged = false;
    sink.log.clear();
    update(fromlibrary(mp4));
    update(fromlibrary(mp3));
    EXPECT_EQ(sink.log, "iTunes is up-to-date.\niTunes is up-to-date.\n");
}

// Every way a track's update can fail, three tracks each: the helper missing
// or hanging; the track not in the library; a reply that is no number (a
// track whose file is gone fails in the helper's refresh: Interpreter). Each track is an error of its own with the values it should have,
// and the helper is gone at the end. A helper that is not executable or dies
// is refused by the same road (ChildServer); one that dies in a batch is
// started again (PipelineWithHelper.AHelperThatDiedIsStartedAgainForTheNextTrack).
TEST_F(ITunesUpdate, ABrokenHelperGivesAnErrorForEveryTrack)
{
    const std::string hang = dir + "/hanging-helper";
    writefile(hang, "#!/bin/sh\nexec sleep 600\n");
    chmod(hang.c_str(), 0755);
    const std::string scriptError = "Track not updated in iTunes: AppleScript error.\n",
                      notFound = "Track not updated in iTunes: track not found in iTunes library [track ID=";
    struct Case {
        const char* what;
        std::function<void()> start;
        int32_t trackId;
        std::string head;
    };
    const Case cases[] = {
        {"missing", [&] { ASSERT_EQ(server.start_helper((dir + "/no-such-helper").c_str()), 0); }, 103, scriptError},
        {"not in the library", [&] { ASSERT_EQ(server.start_external(), 0); }, 999, notFound + "999].\n"},
        // A helper that echoes the script back.
        {"a reply that is no number", [&] { ASSERT_EQ(server.start_helper(PIPE_TEST_HELPER), 0); }, 103,
         notFound + "103].\n"},
        {"hanging",
         [&] {
             server.setcalltimeout(500);
             ASSERT_EQ(server.start_helper(hang.c_str()), 0);
         },
         103, scriptError},
    };
    const std::string values = "Settings for this track should be:\n"
                               "BPM=128\n"
                               "Start=1.234 s; Finish=245.678 s\n"
                               "Volume=-12%\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.start();
        sink.log.clear();
        sink.errors = 0;
        int pid = server.childpid();
        ITunesUpdateInput in = mp4track();
        if (c.trackId != in.trackId) {
            in.trackId = c.trackId;
            in.persistentId = 0;
        }
        for (int i = 0; i < 3; ++i)
            update(in);
        EXPECT_EQ(sink.log, c.head + values + c.head + values + c.head + values);
        EXPECT_EQ(sink.errors, 3);
        EXPECT_EQ(server.stop(), 0);
        if (pid > 0) {
            EXPECT_NE(kill(pid, 0), 0); // stopped and reaped
        }
    }
}

} // namespace
