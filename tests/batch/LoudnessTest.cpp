// Loudness measured during the analysis: known signals in memory, and real
// files of every format against loudgain and FFmpeg as independent readers.
#include "../audio/MaterialFiles.h"
#include "AnalysisSignals.h"
#include "audio/Movies_auto.h"
#include "batch/Loudness.h"
#include "batch/TrackAnalysis.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

using namespace ovra;
using namespace ovra::test;
using namespace ovra::tempix;

namespace {

Movies_auto moviesGuard;

// A sine of the given peak on every channel, with beats of noise so that the
// analysis also finds a tempo (they are far below the sine's level).
std::vector<std::vector<float>> sine(double seconds, double rate, int channels, double peak, double freq = 997.0)
{
    std::vector<float> s(size_t(seconds * rate));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = float(peak * std::sin(2.0 * M_PI * freq * double(i) / rate));
    return std::vector<std::vector<float>>(size_t(channels), s);
}

AnalysisOutcome measured(std::vector<std::vector<float>> planar, double rate, AnalysisOptions options,
                         int32_t failWith = 0)
{
    Canceler_normal canceler;
    auto stream = std::make_unique<MemorySoundStream>(std::move(planar), rate);
    stream->failWith = failWith;
    return analyzeStream(std::move(stream), canceler, EnvelopeLimits(), options);
}

const AnalysisOptions SAMPLE_PEAK{true, false};
const AnalysisOptions TRUE_PEAK{true, true};

} // namespace

// Off by default: no measure, no meter, and the very same analysis.
TEST(Loudness, TheAnalysisIsTheSameWithAndWithoutTheMeasure)
{
    std::vector<float> beats = pulses(20.0, 44100.0, 15000);
    Canceler_normal canceler;
    AnalysisOutcome plain = analyzeStream(
        std::make_unique<MemorySoundStream>(std::vector<std::vector<float>>{beats, beats}, 44100.0), canceler);
    AnalysisOutcome with = measured({beats, beats}, 44100.0, SAMPLE_PEAK);
    ASSERT_EQ(plain.status, AnalysisStatus::ok);
    EXPECT_EQ(std::memcmp(&plain.analysis, &with.analysis, sizeof(TrackAnalysis)), 0);
    EXPECT_FALSE(plain.measure.measured);
    EXPECT_TRUE(with.measure.measured);
    EXPECT_FALSE(with.measure.hasTruePeak);
}

// What is not a loudness of the whole track is not reported as one.
TEST(Loudness, NoMeasureForSilenceFailedReadsShortTracksOrCancellation)
{
    EXPECT_FALSE(measured(sine(10.0, 44100.0, 2, 0.0), 44100.0, SAMPLE_PEAK).measure.measured);
    const AnalysisOutcome failedRead = measured(sine(10.0, 44100.0, 2, 0.1), 44100.0, SAMPLE_PEAK, 5);
    EXPECT_FALSE(failedRead.measure.measured);
    EXPECT_FALSE(measured(sine(3.0, 44100.0, 2, 0.1), 44100.0, SAMPLE_PEAK).measure.measured);
    CountingCanceler canceler(2);
    AnalysisOutcome cancelled = analyzeStream(std::make_unique<MemorySoundStream>(sine(10.0, 44100.0, 2, 0.1), 44100.0),
                                              canceler, EnvelopeLimits(), SAMPLE_PEAK);
    EXPECT_FALSE(cancelled.measure.measured);
    // A pure tone has no beat, yet it was read whole: its loudness stands.
    // A too-short track is not read at all; one read whole is measured
    // whatever its tempo analysis makes of it.
    EXPECT_TRUE(measured(sine(10.0, 44100.0, 2, 0.1), 44100.0, SAMPLE_PEAK).measure.measured);
}

// A 997 Hz sine at -20 dBFS on two channels is -20 LUFS (EBU Tech 3341). Two
// equally long tracks at -20 and -30 LUFS both pass the relative gate, so the
// album is the power mean, 10 log10((10^-2 + 10^-3) / 2) = -22.596.
TEST(Loudness, AnAlbumGatesTheBlocksOfAllItsTracksTogether)
{
    AlbumLoudness album;
    EXPECT_FALSE(album.measure().measured);
    album.add(measured(sine(12.0, 48000.0, 2, 0.1), 48000.0, TRUE_PEAK).meter);
    album.add(measured(sine(12.0, 48000.0, 2, 0.031622777), 48000.0, TRUE_PEAK).meter);
    album.add(measured(sine(12.0, 48000.0, 2, 0.0), 48000.0, TRUE_PEAK).meter); // silent: not counted
    album.add(nullptr);
    EXPECT_EQ(album.size(), 2u);
    const LoudnessMeasure m = album.measure();
    ASSERT_TRUE(m.measured);
    EXPECT_NEAR(m.lufs, 10.0 * std::log10((0.01 + 0.001) / 2.0), 0.05);
    EXPECT_NEAR(m.samplePeak, 0.1, 1e-4);
    EXPECT_TRUE(m.hasTruePeak);
    // A track measured without the true peak leaves the album without one.
    album.add(measured(sine(12.0, 48000.0, 2, 0.2), 48000.0, SAMPLE_PEAK).meter);
    EXPECT_FALSE(album.measure().hasTruePeak);
    EXPECT_NEAR(album.measure().samplePeak, 0.2, 1e-4);
}

TEST(Loudness, GainsAreWrittenAsReplayGainAndOpusWantThem)
{
    struct Case {
        double lufs;
        const char* gain;
        int r128;
    } const cases[] = {
        {-14.44, "-3.56 dB", -2191}, // -8.56 dB * 256 = -2191.36
        {-30.25, "12.25 dB", 1856},
        {-400.0, "382.00 dB", 32767}, // beyond Q7.8: held at its end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lufs);
        EXPECT_EQ(replaygaintext(replaygaindb(c.lufs)), c.gain);
        EXPECT_EQ(r128gain(replaygaindb(c.lufs)), c.r128);
    }
    EXPECT_EQ(replaygainpeaktext(0.98765432), "0.987654");
}

namespace {
// loudgain's tab-separated table (-O) of the files as one album, by file name.
std::map<std::string, std::vector<std::string>> loudgain(const std::vector<std::string>& files)
{
    std::string command = "loudgain -a -O -q";
    for (const std::string& f : files)
        command += " " + shellquote(f);
    std::istringstream lines(runcommand(command + " 2>/dev/null"));
    std::map<std::string, std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::istringstream cellstream(line);
        for (std::string cell; std::getline(cellstream, cell, '\t');)
            cells.push_back(cell);
        if (cells.size() >= 9)
            rows[std::filesystem::path(cells[0]).filename().string()] = cells;
    }
    return rows;
}

// FFmpeg's astats peak over all channels, linear.
double astatspeak(const std::string& path)
{
    const std::string text =
        runcommand("ffmpeg -nostdin -i " + shellquote(path) + " -af astats=measure_perchannel=none -f null - 2>&1");
    const size_t at = text.find("Peak level dB:");
    if (at == std::string::npos)
        return -1.0;
    return std::pow(10.0, std::strtod(text.c_str() + at + 14, nullptr) / 20.0);
}
} // namespace

// Every format, decoded by FFmpeg as the analysis decodes it: the track gain
// agrees with loudgain's within 0.1 dB, the true peak within 0.001, the
// sample peak with FFmpeg's astats; the album gain with loudgain's album row.
TEST(Loudness, RealFilesAgreeWithLoudgainAndFfmpeg)
{
    testsupport::TempDir dir;
    const std::string stereo = materialpath("beat128_stereo44_lame.mp3");
    const std::string other = materialpath("beat174_stereo48_aac.m4a");
    struct Made {
        std::string name, source, options;
    } made[] = {
        {"a.mp3", stereo, "-c copy"},
        {"b.m4a", other, "-c copy"},
        {"c.flac", other, "-c:a flac"},
        {"d.ogg", stereo, "-c:a libvorbis -q:a 4"},
        {"e.opus", stereo, "-c:a libopus -b:a 96k"},
        {"f.m4a", materialpath("beat100_mono44_aac.m4a"), "-c copy"},
    };
    std::vector<std::string> files;
    for (const Made& m : made) {
        files.push_back(dir.path(m.name));
        ASSERT_EQ(testsupport::run("ffmpeg -nostdin -v error -i " + shellquote(m.source) + " -map 0:a " + m.options +
                                   " " + shellquote(files.back())),
                  0)
            << m.name;
    }
    // loudgain will not mix Opus (gains relative to -23 LUFS) into an album.
    auto table = loudgain({files[0], files[1], files[2], files[3], files[5]});
    ASSERT_TRUE(table.count("Album")) << "loudgain gave no album row";
    const auto opus = loudgain({files[4]});
    table.insert(opus.begin(), opus.end());
    AlbumLoudness album;
    for (const std::string& file : files) {
        const std::string name = std::filesystem::path(file).filename().string();
        SCOPED_TRACE(name);
        Canceler_normal canceler;
        const AnalysisOutcome got = analyzeTrack(file.c_str(), canceler, TRUE_PEAK);
        ASSERT_TRUE(got.measure.measured);
        ASSERT_TRUE(table.count(name));
        const std::vector<std::string>& row = table.at(name);
        // File, Loudness, Range, True_Peak, True_Peak_dBTP, Reference, Will_clip, Clip_prevent, Gain, ...
        const double reference = std::strtod(row[5].c_str(), nullptr);
        EXPECT_NEAR(reference - got.measure.lufs, std::strtod(row[8].c_str(), nullptr), 0.1);
        EXPECT_NEAR(got.measure.truePeak, std::strtod(row[3].c_str(), nullptr), 0.001);
        EXPECT_NEAR(got.measure.samplePeak, std::min(astatspeak(file), 1.0), 0.001);
        if (name != "e.opus")
            album.add(got.meter);
    }
    const LoudnessMeasure whole = album.measure();
    ASSERT_TRUE(whole.measured);
    EXPECT_NEAR(replaygaindb(whole.lufs), std::strtod(table.at("Album")[8].c_str(), nullptr), 0.1);
    EXPECT_NEAR(whole.truePeak, std::strtod(table.at("Album")[3].c_str(), nullptr), 0.001);
}
