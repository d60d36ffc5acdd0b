// The FFmpeg decoder on real files, checked against the ffmpeg and ffprobe programs.
#include "MaterialFiles.h"
#include "audio/Movies_auto.h"
#include "audio/SimpleSoundFile_AV.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace ovra;
using namespace ovra::test;

namespace {

Movies_auto moviesGuard;

// Reads the whole stream with all its channels, chunk by chunk, as interleaved 16-bit.
std::vector<int16_t> readall(SimpleSoundFile_AV& file, uint32_t chunk)
{
    const int nch = file.channels();
    std::vector<int16_t> all;
    std::vector<float> planar(size_t(chunk) * size_t(nch));
    while (file.isopen()) {
        EXPECT_EQ(file.read(chunk, nch, planar.data()), 0);
        for (uint32_t i = 0; i < chunk; ++i) {
            for (int c = 0; c < nch; ++c)
                all.push_back(int16_t(std::lround(double(planar[size_t(c) * chunk + i]) * 32768.0)));
        }
    }
    return all;
}

} // namespace

TEST(SoundFile, DecodesEveryTrackSampleForSampleLikeTheFfmpegProgram)
{
    // Besides the material: FLAC, Ogg Vorbis and Opus, whose packet durations
    // are estimates (the length must not be).
    testsupport::TempDir dir;
    const std::string wav = dir.path("a.wav");
    runcommand("ffmpeg -v error -i " + shellquote(materialpath("beat128_stereo44_lame.mp3")) +
               " -map_metadata -1 -fflags +bitexact " + shellquote(wav));
    std::vector<std::string> paths = {dir.path("a.flac"), dir.path("a.ogg"), dir.path("a.opus")};
    runcommand("flac -s -o " + shellquote(paths[0]) + " " + shellquote(wav) + " 2>&1");
    runcommand("oggenc -Q -o " + shellquote(paths[1]) + " " + shellquote(wav) + " 2>&1");
    runcommand("opusenc --quiet " + shellquote(wav) + " " + shellquote(paths[2]) + " 2>&1");
    for (const char* name : DECODABLE_TRACKS)
        paths.push_back(materialpath(name));
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        SimpleSoundFile_AV file(path.c_str());
        ASSERT_TRUE(file.isopen());
        const int channels = file.channels();
        std::ostringstream description;
        description << file.samplerate() << "," << channels;
        EXPECT_EQ(ffprobestream(path), description.str());

        // The length is known before the first read. For MP3 it is what a full
        // decode gives (the LAME header's delay and padding dropped); for MP4 it
        // is the edit list's duration, which leaves out the encoder's padding
        // that the ffmpeg program still decodes at the end.
        const std::vector<int16_t> expected = ffmpegdecode(path);
        ASSERT_FALSE(expected.empty());
        const int64_t length = file.length();
        const int64_t decoded = int64_t(expected.size()) / channels;
        if (path.ends_with(".m4a")) {
            EXPECT_EQ(ffprobestream(path, "duration_ts"), std::to_string(length));
            EXPECT_GT(decoded, length);
            EXPECT_LE(decoded, length + 2048);
        } else {
            EXPECT_EQ(decoded, length);
        }

        const uint32_t chunk = 65536;
        std::vector<int16_t> got = readall(file, chunk);
        EXPECT_FALSE(file.isopen());
        EXPECT_EQ(file.position(), int64_t((length + chunk - 1) / chunk * chunk));
        const size_t samples = size_t(length) * size_t(channels);
        ASSERT_GE(got.size(), samples);
        size_t differing = 0;
        for (size_t i = 0; i < samples; ++i)
            differing += got[i] != expected[i];
        EXPECT_EQ(differing, 0u);
        // Past the end: silence.
        for (size_t i = samples; i < got.size(); ++i)
            ASSERT_EQ(got[i], 0) << "at " << i;
    }
}

// A VBR MP3 without a frame count, whose length the container can only
// estimate, is among the tracks above: its length is what a full decode gives.

// isopen turns false exactly at the length; zero frames and more channels
// than the source has are refused.
TEST(SoundFile, IsOpenTurnsFalseExactlyAtTheLengthAndImpossibleReadsAreRefused)
{
    SimpleSoundFile_AV file(materialpath("beat100_mono44_aac.m4a").c_str());
    const int64_t length = file.length();
    std::vector<float> buffer(static_cast<size_t>(length));
    EXPECT_EQ(file.read(0, 1, buffer.data()), -1);
    EXPECT_EQ(file.read(1024, 2, buffer.data()), -1);
    ASSERT_EQ(file.read(uint32_t(length - 1), 1, buffer.data()), 0);
    EXPECT_TRUE(file.isopen());
    ASSERT_EQ(file.read(3, 1, buffer.data()), 0);
    EXPECT_FALSE(file.isopen());
    EXPECT_EQ(file.position(), length + 2);
}

TEST(SoundFile, StereoReadWithOneChannelGivesTheLeftChannel)
{
    const std::string path = materialpath("beat128_stereo44_lame.mp3");
    const std::vector<int16_t> expected = ffmpegdecode(path);
    SimpleSoundFile_AV file(path.c_str());
    ASSERT_TRUE(file.isopen());
    std::vector<float> both(2 * 50000), left(50000);
    ASSERT_EQ(file.read(50000, 2, both.data()), 0);
    SimpleSoundFile_AV single(path.c_str());
    ASSERT_EQ(single.read(50000, 1, left.data()), 0);
    size_t nonzero = 0;
    for (size_t i = 0; i < 50000; ++i) {
        ASSERT_EQ(left[i], both[i]) << i;
        ASSERT_EQ(left[i], float(expected[2 * i] * 3.0517578125e-05)) << i;
        ASSERT_EQ(both[50000 + i], float(expected[2 * i + 1] * 3.0517578125e-05)) << i;
        nonzero += left[i] != 0.0f;
    }
    EXPECT_GT(nonzero, 10000u);
}

TEST(SoundFile, FilesThatAreNotUsableAudioLeaveTheStreamClosedAndNoNameIsTakenForAProtocol)
{
    testsupport::TempDir dir;
    std::ofstream(dir.path("no_audio_stream.m4a")) << "";
    for (std::string path :
         {materialpath("empty.mp3"), materialpath("not_audio.mp3"), materialpath("does_not_exist.mp3"),
          std::string(TEMPIX_MATERIAL_DIR), dir.path("no_audio_stream.m4a"), std::string()}) {
        SCOPED_TRACE(path);
        SimpleSoundFile_AV file(path.c_str());
        EXPECT_FALSE(file.isopen());
        EXPECT_EQ(file.length(), 0);
    }
    // A relative name that looks like a protocol is still a file.
    std::filesystem::copy_file(materialpath("four_seconds.mp3"), dir.path("http:track.mp3"));
    const std::string saved = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.str().c_str()), 0);
    SimpleSoundFile_AV file("http:track.mp3");
    EXPECT_EQ(chdir(saved.c_str()), 0);
    EXPECT_TRUE(file.isopen());
    EXPECT_EQ(file.length(), 176400);
}

TEST(SoundFile, DamagedDataIsReportedAndBecomesSilenceInItsPlace)
{
    SimpleSoundFile_AV damaged(materialpath("damaged.m4a").c_str());
    SimpleSoundFile_AV intact(materialpath("beat100_mono44_aac.m4a").c_str());
    ASSERT_TRUE(damaged.isopen());
    ASSERT_EQ(damaged.length(), intact.length());
    const uint32_t chunk = 4096;
    std::vector<float> a(chunk), b(chunk);
    int errors = 0, reads = 0, lastError = 0;
    size_t silentWhereIntactIsNot = 0;
    double signalEnergy = 0.0, differenceEnergy = 0.0;
    while (damaged.isopen()) {
        int32_t status = damaged.read(chunk, 1, a.data());
        ASSERT_EQ(intact.read(chunk, 1, b.data()), 0);
        ++reads;
        if (status != 0) {
            EXPECT_LT(status, 0);
            ++errors;
            lastError = reads;
        }
        for (uint32_t i = 0; i < chunk; ++i)
            silentWhereIntactIsNot += a[i] == 0.0f && b[i] != 0.0f;
        if (errors > 0 && reads - lastError > 3) {
            // Once the decoder has settled after the damage, the audio is the
            // intact file's, in the same place (a shift would double the energy;
            // the decoder's noise filling may differ a little).
            for (uint32_t i = 0; i < chunk; ++i) {
                signalEnergy += double(b[i]) * b[i];
                differenceEnergy += double(a[i] - b[i]) * (a[i] - b[i]);
            }
        }
    }
    EXPECT_GT(errors, 0);
    EXPECT_GT(silentWhereIntactIsNot, 1000u);
    EXPECT_LT(differenceEnergy, 0.01 * signalEnergy);
}
