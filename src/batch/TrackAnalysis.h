// The analysis of one track and the values derived from it.
#pragma once
#include <cstdint>
#include <string>

namespace ovra {
class Canceler;
}

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

enum class AnalysisStatus { ok, failed, cancelled };

struct AnalysisOutcome {
    AnalysisStatus status = AnalysisStatus::failed;
    TrackAnalysis analysis;
    double sampleRate = 0.0;  // the stream's unrounded rate
    std::string failure;      // the log line, with its line feed, when failed
};

// Decodes and analyses the file. Failures come back as their log line; the
// caller logs and counts them. Exceptions of the sound stream pass through.
AnalysisOutcome analyzeTrack(const char* path, ovra::Canceler& canceler);

// lround(120 / (beat period / sr)).
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

} // namespace ovra::tempix
