// The analysis of one track and the values derived from it.
#pragma once
#include "batch/Loudness.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ovra {
class Canceler;
class SimpleSoundStream;
} // namespace ovra

namespace ovra::tempix {

// Nine values, in the order they are kept in the track's data record.
struct TrackAnalysis {
    uint32_t sampleRate = 0;
    uint32_t frameCount = 0;
    uint32_t loudness = 0;
    uint32_t peakLevel = 0;
    uint32_t beatPeriod = 0;
    uint32_t startPeriod = 0;
    uint32_t endPeriod = 0;
    uint32_t firstBeat = 0;
    uint32_t lastBeat = 0;
};

// A shorter track is not analysed, and a stored analysis of one is not reused.
constexpr double MIN_TRACK_SECONDS = 4.0;

enum class AnalysisStatus { ok, failed, cancelled };
// Why an analysis failed, as the words of a row or a picture pane need it.
enum class AnalysisCause { none, notOpened, tooManyChannels, noMemory, tooShort, noBeat, decodeError };

struct AnalysisOutcome {
    AnalysisStatus status = AnalysisStatus::failed;
    TrackAnalysis analysis;
    double sampleRate = 0.0; // the stream's unrounded rate
    std::string failure;     // the log line, with its line feed, when failed
    AnalysisCause cause = AnalysisCause::none;
    double seconds = 0.0;      // tooShort: the track's length
    std::string decoderReason; // notOpened: what the decoder said, if anything
    // With AnalysisOptions::loudness: the track's loudness, measured whenever
    // the whole stream was read (also when no beat was found), and the meter
    // that an AlbumLoudness takes. Unmeasured and null otherwise.
    LoudnessMeasure measure;
    std::shared_ptr<const LoudnessMeter> meter;
};

// Decodes and analyses the file. Failures come back as their log line; the
// caller logs and counts them, and shows "Analyzing track" beforehand.
// Exceptions of the sound stream pass through after everything is released.
AnalysisOutcome analyzeTrack(const char* path, ovra::Canceler& canceler);
// The same, with the loudness measured on the decoded frames (every channel,
// at the source's rate) as they go by: the track is still decoded once.
AnalysisOutcome analyzeTrack(const char* path, ovra::Canceler& canceler, const AnalysisOptions& options);

// How much of the energy envelope (one float per block of about a
// millisecond) is held in memory: a track of more blocks keeps it in a
// temporary file (2 MiB: about 8.7 minutes at 44100 Hz). The values are the
// same either way.
struct EnvelopeLimits {
    uint32_t held = 1u << 19;
};

// The same for a stream that is already made (the file stream of analyzeTrack,
// or one in memory); the analysis owns it from here on.
AnalysisOutcome analyzeStream(std::unique_ptr<ovra::SimpleSoundStream> stream, ovra::Canceler& canceler);
AnalysisOutcome analyzeStream(std::unique_ptr<ovra::SimpleSoundStream> stream, ovra::Canceler& canceler,
                              const EnvelopeLimits& limits);
AnalysisOutcome analyzeStream(std::unique_ptr<ovra::SimpleSoundStream> stream, ovra::Canceler& canceler,
                              const EnvelopeLimits& limits, const AnalysisOptions& options);

// lround(120 / (beat period / sr)); 0 for a beat period of 0.
int computeBPM(uint32_t beatPeriod, double sampleRate);

struct TrackTimes {
    int32_t startMs = 0;
    int32_t stopMs = 0;
};
TrackTimes computeTimes(const TrackAnalysis& analysis, double sampleRate, bool lessIntro);

struct VolumeAdjustment {
    int32_t value = 0;         // -65535 ... 65535
    int32_t percent = 0;       // -100 ... 100
    int32_t libraryVolume = 0; // -255 ... 255
};
VolumeAdjustment computeVolume(uint32_t loudness, uint32_t peakLevel);

// The steps of the tempo search, on the energy envelope (one value per block).

// The lag in minLag .. maxLag-1 with the greatest positive autocorrelation
// (products in single precision, summed in double); the smaller lag on a tie,
// 0 when none is positive.
uint32_t findPeriod(const float* values, uint32_t count, uint32_t minLag, uint32_t maxLag);
// The same, one lag after the other: the reference the fast one must match.
uint32_t findPeriodSequential(const float* values, uint32_t count, uint32_t minLag, uint32_t maxLag);
// The codes that sum many lags side by side ("avx2", "portable") that
// this processor runs, the one findPeriod uses first. All give the same sums.
std::vector<std::string> periodSearchVariants();
// Every lag summed by the named variant, without the transform's screening;
// nothing for a name this processor does not run. For tests and benchmarks.
std::optional<uint32_t> findPeriodEveryLag(const std::string& variant, const float* values, uint32_t count,
                                           uint32_t minLag, uint32_t maxLag);
// The phase in 0 .. period-1 whose every period-th values sum highest; period >= 1.
uint32_t findPhase(const float* values, uint32_t count, uint32_t period);
// A period in blocks doubled or halved until it lasts between (12/13)/sqrt(2)
// and (12/13)*sqrt(2) seconds.
double foldPeriod(double period, uint32_t hop, double sampleRate);

} // namespace ovra::tempix
