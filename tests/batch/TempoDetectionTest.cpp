// The whole analysis: exact values, failure lines, cancellation, ownership.
#include "../audio/MaterialFiles.h"
#include "AnalysisSignals.h"
#include "audio/Movies_auto.h"
#include "audio/SimpleSoundFile_AV.h"
#include "audio/SoundStreamMono.h"
#include "batch/TrackAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace ovra;
using namespace ovra::test;
using namespace ovra::tempix;

namespace {

Movies_auto moviesGuard;

std::unique_ptr<SimpleSoundStream> mono(std::vector<float> samples, double rate, int* deletions = nullptr)
{
    return std::make_unique<MemorySoundStream>(std::vector<std::vector<float>>{std::move(samples)}, rate, deletions);
}

// The nine values of an analysis, a "key=value" line each, or its failure line.
std::string describe(const AnalysisOutcome& got)
{
    if (got.status != AnalysisStatus::ok)
        return "error=" + got.failure;
    const TrackAnalysis& a = got.analysis;
    const std::pair<const char*, uint32_t> values[] = {
        {"sample_rate", a.sampleRate}, {"frame_count", a.frameCount}, {"loudness", a.loudness},
        {"peak_level", a.peakLevel},   {"beat_period", a.beatPeriod}, {"start_period", a.startPeriod},
        {"end_period", a.endPeriod},   {"first_beat", a.firstBeat},   {"last_beat", a.lastBeat}};
    std::string text;
    for (auto [key, value] : values)
        text += std::string(key) + "=" + std::to_string(value) + "\n";
    return text;
}

// The analysis agrees with what the plain second implementation makes of the samples.
void expectsame(const AnalysisOutcome& got, const std::vector<float>& samples, double rate)
{
    const std::string file = std::string(TEMPIX_BINARY_DIR) + "/analysis-reference-" +
        std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + std::to_string(samples.size()) +
        ".f32";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
    }
    EXPECT_EQ(describe(got),
              runcommand(std::string(TEMPIX_PYTHON) + " " + TEMPIX_SOURCE_DIR + "/tests/batch/reference_analysis.py " +
                         file + " " + std::to_string(rate)));
    std::filesystem::remove(file);
}

// Every block of the envelope in the temporary file.
const EnvelopeLimits spilled{0};

// The mono samples the analysis reads from a file.
std::vector<float> decodemono(const std::string& path, double& rate)
{
    SimpleSoundFile_AV file(path.c_str());
    EXPECT_TRUE(file.isopen());
    rate = file.samplerate();
    SoundStreamMono mix(&file, false);
    SimpleSoundStream& stream = file.channels() == 1 ? static_cast<SimpleSoundStream&>(file) : mix;
    std::vector<float> samples(size_t(stream.length()));
    for (size_t at = 0; at < samples.size(); at += 65536) {
        uint32_t n = uint32_t(std::min<size_t>(65536, samples.size() - at));
        stream.read(n, 1, samples.data() + at);
    }
    return samples;
}

// s with everything outside from..to seconds turned down to quiet.
std::vector<float> musicbetween(std::vector<float> s, double rate, double from, double to, float quiet)
{
    for (size_t i = 0; i < s.size(); ++i) {
        if (double(i) < rate * from || double(i) > rate * to)
            s[i] *= quiet;
    }
    return s;
}

} // namespace

// Every signal is analysed as the plain second implementation does it (stereo
// as the mean of its channels), and the same with its envelope kept in a file;
// beats of a known period give their tempo.
TEST(TempoDetection, AgreesWithAPlainSecondImplementationAndWithAnEnvelopeInAFile)
{
    // Only a few seconds of music inside: one window over the whole track.
    const std::vector<float> short7 = musicbetween(pulses(20.0, 48000.0, 31000, 500, 0.01f), 48000, 5, 12, 0.01f);
    std::vector<float> click(8 * 44100, 0.0f);
    std::fill(click.begin(), click.begin() + 440, 0.9f);
    const std::vector<float> steady = pulses(35.0, 44100.0, 21000);
    std::vector<float> louder(steady.size());
    for (size_t i = 0; i < steady.size(); ++i)
        louder[i] = steady[i] * (0.2f + 0.8f * float(i) / float(steady.size()));
    struct Case {
        const char* name;
        std::vector<std::vector<float>> planar;
        double rate;
        int bpm; // 0: not known
    };
    const Case cases[] = {
        {"a region of several windows",
         {musicbetween(pulses(47.3, 22050.0, 9001, 200, 0.004f, 3000), 22050, 6, 41, 0.05f)},
         22050.0,
         0},
        {"one window over the whole track", {short7}, 48000.0, 0},
        {"one long window in a long track",
         {musicbetween(pulses(40.0, 44100.0, 30000, 400, 0.01f), 44100, 15, 22, 0.02f)},
         44100.0,
         0},
        {"stereo, getting louder", {steady, louder}, 44100.0, 0},
        {"a tempo that needs the mean taken out", {accentedoverloudnoise(40.0)}, 44100.0, 0},
        // The music region ends before it begins.
        {"loud only at the start", {click}, 44100.0, 0},
        {"3.9 seconds are too short", {pulses(3.9, 44100.0, 20000)}, 44100.0, 0},
        // Bursts every 459 blocks of 44 samples: folded to 918 blocks, 40392 samples.
        {"a short period doubled", {pulses(30.0, 44100.0, 459 * 44)}, 44100.0, 131},
        // Every 2100 blocks: halved to 1050 blocks, 46200 samples.
        {"a long period halved", {pulses(30.0, 44100.0, 2100 * 44)}, 44100.0, 115},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Canceler_normal canceler;
        const AnalysisOutcome held = analyzeStream(std::make_unique<MemorySoundStream>(c.planar, c.rate), canceler);
        std::vector<float> mean = c.planar[0];
        for (size_t i = 0; c.planar.size() == 2 && i < mean.size(); ++i)
            mean[i] = (c.planar[0][i] + c.planar[1][i]) * 0.5f;
        expectsame(held, mean, c.rate);
        EXPECT_EQ(describe(analyzeStream(std::make_unique<MemorySoundStream>(c.planar, c.rate), canceler, spilled)),
                  describe(held));
        if (c.bpm != 0) {
            EXPECT_EQ(computeBPM(held.analysis.beatPeriod, held.sampleRate), c.bpm);
        }
    }
    // Real tracks, decoded as the batch decodes them (among them silence and
    // exactly four seconds, which is long enough).
    for (const char* name : {"beat128_stereo44_lame.mp3", "beat85_mono48_lame.mp3", "beat100_mono44_aac.m4a",
                             "beat174_stereo48_aac.m4a", "four_seconds.mp3", "damaged.m4a", "silent_10s.mp3"}) {
        SCOPED_TRACE(name);
        const std::string path = materialpath(name);
        Canceler_normal canceler;
        const AnalysisOutcome outcome = analyzeTrack(path.c_str(), canceler);
        double rate = 0.0;
        const std::vector<float> samples = decodemono(path, rate);
        expectsame(outcome, samples, rate);
        EXPECT_EQ(describe(analyzeStream(std::make_unique<SimpleSoundFile_AV>(path.c_str()), canceler, spilled)),
                  describe(outcome));
    }
}

TEST(TempoDetection, FailureLines)
{
    // Too short, silent and loud only at the start are among the signals above,
    // more than two channels among the material (analyze_cli).
    // A length beyond 32 bits is refused before anything is read; its low bits
    // (ten seconds here) must not pass for the track.
    struct Endless : MemorySoundStream {
        using MemorySoundStream::MemorySoundStream;
        int64_t length() override { return (int64_t(1) << 32) + 441000; }
        bool isopen() override { return true; }
    };
    std::pair<std::unique_ptr<SimpleSoundStream>, std::string> cases[] = {
        // A rate whose blocks would be empty is refused rather than divided by.
        {mono(std::vector<float>(2000, 0.5f), 400.0), "No beat found in track.\n"},
        {mono({}, 44100.0), "Could not open track with QuickTime.\n"},
        {std::make_unique<Endless>(std::vector<std::vector<float>>{pulses(10.0, 44100.0, 20000)}, 44100.0),
         "Not enough memory to process track.\n"},
    };
    Canceler_normal canceler;
    for (auto& [stream, failure] : cases) {
        SCOPED_TRACE(failure);
        AnalysisOutcome outcome = analyzeStream(std::move(stream), canceler);
        EXPECT_EQ(outcome.status, AnalysisStatus::failed);
        EXPECT_EQ(outcome.failure, failure);
    }
    AnalysisOutcome missing = analyzeTrack("/nonexistent/track.mp3", canceler);
    // The line as it always was, then the decoder's reason in words.
    EXPECT_EQ(missing.failure,
              "Could not open track with QuickTime.\nThe decoder (FFmpeg) says: No such file or directory.\n");
}

TEST(TempoDetection, EveryCancellationCheckEndsTheAnalysisWithoutAMessageAndAStreamIsAlwaysReleased)
{
    const std::vector<float> s = pulses(47.0, 44100.0, 20000, 300, 0.01f, 44100 * 3);
    CountingCanceler full;
    int deletions = 0;
    AnalysisOutcome done = analyzeStream(mono(s, 44100.0, &deletions), full);
    ASSERT_EQ(done.status, AnalysisStatus::ok);
    EXPECT_EQ(deletions, 1);
    // One question before each chunk, then after reading, the level scan, the two
    // region scans, the mean, each window and the end window.
    const int chunks = int((s.size() + 16383) / 16384);
    EXPECT_GE(full.questions, chunks + 5 + 2 + 1);

    // Held in memory and in a file.
    for (const EnvelopeLimits& limits : {EnvelopeLimits{}, spilled}) {
        for (int at = 1; at <= full.questions; ++at) {
            CountingCanceler canceler(at);
            deletions = 0;
            AnalysisOutcome outcome = analyzeStream(mono(s, 44100.0, &deletions), canceler, limits);
            EXPECT_EQ(outcome.status, AnalysisStatus::cancelled) << "at question " << at;
            EXPECT_EQ(outcome.failure, "");
            EXPECT_EQ(canceler.questions, at);
            EXPECT_EQ(deletions, 1);
        }
    }

    // The stream's exception passes after the streams are released.
    struct Throwing : MemorySoundStream {
        using MemorySoundStream::MemorySoundStream;
        int32_t read(uint32_t, int32_t, float*) override { throw 20603; }
    };
    deletions = 0;
    EXPECT_THROW(analyzeStream(std::make_unique<Throwing>(std::vector{s, s}, 44100.0, &deletions), full), int);
    EXPECT_EQ(deletions, 1);
}

// The known tempo and the failure line of every material track are checked
// end to end through tempix-cli --analyze (check_analyze_cli.py).
