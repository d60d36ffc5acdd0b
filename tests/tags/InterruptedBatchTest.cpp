// tempix-cli killed in the middle of a batch, and a batch on a disk that is
// full: afterwards every track is whole (its audio decodes as before) and
// carries what Tempix wrote, or the failure was reported.
#include "TagTestSupport.h"

#include <chrono>
#include <csignal>
#include <thread>

#include <unistd.h>

using tagtest::batch;
using tagtest::TempDir;

namespace {

const char* const TRACKS[] = {"beat128_stereo44_lame.mp3", "beat100_mono44_aac.m4a", "beat174_stereo48_aac.m4a",
                              "beat85_mono48_lame.mp3", "beat140_stereo44_noxing.mp3"};

} // namespace

TEST(InterruptedBatch, AKilledBatchLeavesEveryTrackWholeAndTheNextRunFinishesIt)
{
    TempDir dir;
    const std::string folder = dir.path("music");
    std::filesystem::create_directories(folder);
    auto fresh = [&] {
        for (const char* name : TRACKS)
            std::filesystem::copy_file(std::string(TEMPIX_MATERIAL_DIR) + "/" + name, folder + "/" + name,
                                       std::filesystem::copy_options::overwrite_existing);
    };
    // A batch that runs to its end: what every track must look like.
    fresh();
    std::map<std::string, std::string> audio;
    for (const char* name : TRACKS)
        audio[name] = tagtest::decodedmd5(folder + "/" + name);
    std::string out;
    ASSERT_EQ(tagtest::run(batch(dir, folder) + " 2>&1", &out), 0) << out;
    std::map<std::string, std::vector<uint8_t>> done;
    for (const char* name : TRACKS) {
        const std::string path = folder + "/" + name;
        done[name] = tagtest::readbytes(path);
        EXPECT_EQ(tagtest::decodedmd5(path), audio[name]) << name;
        auto m = tagtest::mutagen(path);
        EXPECT_TRUE(m.count("TBPM") + m.count("tmpo") == 1) << name;
    }
    // The same batch killed at moments across its run (it takes about half
    // a second here), then run again.
    for (int delayMs : {150, 210, 260, 300, 340, 380, 420, 480}) {
        SCOPED_TRACE(delayMs);
        fresh();
        pid_t child = tagtest::spawn(batch(dir, folder) + " > /dev/null 2>&1");
        ASSERT_GE(child, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        // The next run restores an interrupted update first, then finishes.
        EXPECT_EQ(tagtest::run(batch(dir, folder) + " 2>&1", &out), 0) << out;
        for (const char* name : TRACKS)
            EXPECT_EQ(tagtest::readbytes(folder + "/" + name), done[name]) << name;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path("state") + "/tempix/journal")) << "every journal settled";
    }
}

TEST(InterruptedBatch, AFullDiskDamagesNothingAndEveryFailedTrackIsReported)
{
    TempDir dir;
    if (tagtest::run("unshare -Urm true 2>/dev/null") != 0)
        GTEST_SKIP() << "this machine does not let a test mount a small file system (unshare -Urm)";
    // One M4A without 'udta' must grow; the MP3 keeps its tag's padding. Both
    // get their ReplayGain as well.
    const std::string stage = dir.path("stage");
    std::filesystem::create_directories(stage);
    std::filesystem::copy_file(std::string(TEMPIX_MATERIAL_DIR) + "/beat128_stereo44_lame.mp3", stage + "/fits.mp3");
    const std::string strip = std::string(TEMPIX_PYTHON) + " -c " +
        tagtest::shellquote("import sys; sys.path.insert(0, sys.argv[1]); from make_tag_fixtures import without_udta; "
                            "without_udta(sys.argv[2], sys.argv[3])") +
        " " + tagtest::shellquote(std::string(TEMPIX_SOURCE_DIR) + "/tests/tags") + " " +
        tagtest::shellquote(std::string(TEMPIX_MATERIAL_DIR) + "/beat100_mono44_aac.m4a") + " " +
        tagtest::shellquote(stage + "/grows.m4a");
    ASSERT_EQ(tagtest::run(strip), 0);
    const std::vector<uint8_t> m4a = tagtest::readbytes(stage + "/grows.m4a");

    // Inside a mount namespace: a 2 MiB file system holding the tracks and a
    // filler that takes every free block; the log and journals are outside.
    const std::string full = dir.path("full");
    std::filesystem::create_directories(full);
    const std::string script = "mount -t tmpfs -o size=2m none " + tagtest::shellquote(full) + " && cp " +
        tagtest::shellquote(stage) + "/* " + tagtest::shellquote(full) +
        " && (dd if=/dev/zero of=" + tagtest::shellquote(full + "/filler") + " bs=4k 2>/dev/null; true) && " +
        batch(dir, full) + " --replaygain > " + tagtest::shellquote(dir.path("out.txt")) + " 2>&1" + "; echo $? > " +
        tagtest::shellquote(dir.path("status.txt")) + "; cp " + tagtest::shellquote(full) + "/*.m4a " +
        tagtest::shellquote(full) + "/*.mp3 " + tagtest::shellquote(dir.path("after")) + "/";
    std::filesystem::create_directories(dir.path("after"));
    ASSERT_EQ(tagtest::run("unshare -Urm sh -c " + tagtest::shellquote(script)), 0);

    const std::string out = tagtest::readfile(dir.path("out.txt"));
    EXPECT_EQ(tagtest::readfile(dir.path("status.txt")), "1\n") << out;
    tagtest::says(out, {"Could not write tag to file: error code 28."});
    EXPECT_EQ(tagtest::readbytes(dir.path("after/grows.m4a")), m4a) << "the track that could not grow is as it was";
    auto m = tagtest::mutagen(dir.path("after/fits.mp3"));
    EXPECT_EQ(m.count("TBPM"), 1u) << "a track whose tag fits is still written";
    EXPECT_EQ(m.count("TXXX:REPLAYGAIN_TRACK_GAIN"), 1u) << "its ReplayGain too";
}

TEST(InterruptedBatch, ATrackThatEndsInAFailureIsLeftByteForByte)
{
    TempDir dir;
    const std::string folder = dir.path("music");
    std::filesystem::create_directories(folder);
    // Too short to analyse, and a fragmented file that must not be written.
    std::filesystem::copy_file(tagtest::fixtures() + "/noudta_fast.m4a", folder + "/short.m4a");
    ASSERT_EQ(tagtest::run("ffmpeg -v error -i " +
                           tagtest::shellquote(std::string(TEMPIX_MATERIAL_DIR) + "/beat100_mono44_aac.m4a") +
                           " -c copy -movflags frag_keyframe+empty_moov -brand 'M4A ' " +
                           tagtest::shellquote(folder + "/fragmented.m4a")),
              0);
    const std::vector<uint8_t> shortBytes = tagtest::readbytes(folder + "/short.m4a");
    const std::vector<uint8_t> fragmented = tagtest::readbytes(folder + "/fragmented.m4a");
    std::string out;
    EXPECT_EQ(tagtest::run(batch(dir, folder) + " 2>&1", &out), 1) << out;
    EXPECT_EQ(tagtest::readbytes(folder + "/short.m4a"), shortBytes) << "no empty containers added";
    EXPECT_EQ(tagtest::readbytes(folder + "/fragmented.m4a"), fragmented);
    tagtest::says(out,
                  {"Could not write tag to file: a fragmented MP4 file cannot be updated safely, so it was left "
                   "as it was (error code 20228)."});
    tagtest::says(out, {"Track updated."}, false);
}
