// From the audio of one track to its tempo, beat grid and level measures.
#include "audio/SimpleSoundFile_AV.h"
#include "audio/SoundStreamMono.h"
#include "audio/Trash.h"
#include "batch/EnergyEnvelope.h"
#include "batch/RunningMean.h"
#include "batch/TrackAnalysis.h"
#include "platform/Threads.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

namespace ovra::tempix {

namespace {

constexpr uint32_t CHUNK_FRAMES = 65536;
constexpr double BLOCK_SECONDS = 0.001;       // one envelope value
constexpr double LEVEL_SPAN_SECONDS = 20.0;   // the middle part the levels are measured on
constexpr double WINDOW_SECONDS = 10.0;       // one period search
constexpr double MIN_PERIOD_SECONDS = 0.3;
constexpr double MAX_PERIOD_SECONDS = 3.0;
constexpr double START_LEVEL = 0.4;           // of the peak: where the music starts
constexpr double END_LEVEL = 0.6;             // and, from the end, where it ends
constexpr double FULL_SCALE = 4294967295.0;   // a level of 1.0 in the record

AnalysisOutcome failed(const char* line)
{
    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::failed;
    outcome.failure = line;
    return outcome;
}

AnalysisOutcome cancelled()
{
    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::cancelled;
    return outcome;
}

const char* const NOT_OPEN = "Could not open track with QuickTime.\n";
const char* const TOO_MANY_CHANNELS = "Track has more than 2 channels.\n";
const char* const NO_MEMORY = "Not enough memory to process track.\n";
const char* const NO_BEAT = "No beat found in track.\n";

// The loudness and peak level of the len blocks in the middle; peak is the
// highest running mean there.
TrackAnalysis levels(const float* e, uint32_t nb, uint32_t span, double& peak)
{
    const uint32_t len = std::min(span, nb);
    const uint32_t first = (nb - len) / 2;
    RunningMean running;
    running.clear();
    double sum = 0.0;
    peak = 0.0;
    for (uint32_t i = 0; i < len; ++i) {
        const float value = e[first + i];
        sum += double(value);
        running.push(value);
        peak = std::max(peak, running.mean());
    }
    TrackAnalysis result;
    result.loudness = uint32_t(std::lround(std::sqrt(sum / len) * FULL_SCALE));
    result.peakLevel = uint32_t(std::lround(std::sqrt(peak) * FULL_SCALE));
    return result;
}

// Where the running mean first reaches START_LEVEL of the peak (nb: never).
uint32_t musicstart(const float* e, uint32_t nb, double peak)
{
    RunningMean running;
    running.clear();
    for (uint32_t b = 0; b < nb; ++b) {
        running.push(e[b]);
        if (running.mean() >= START_LEVEL * peak)
            return b;
    }
    return nb;
}

// Where, from the end, it first reaches END_LEVEL of the peak (0: never).
uint32_t musicend(const float* e, uint32_t nb, double peak)
{
    RunningMean running;
    running.clear();
    for (uint32_t b = nb - 1; b >= 1; --b) {
        running.push(e[b]);
        if (running.mean() >= END_LEVEL * peak)
            return b;
    }
    return 0;
}

} // namespace

AnalysisOutcome analyzeTrack(const char* path, Canceler& canceler)
{
    return analyzeStream(std::make_unique<SimpleSoundFile_AV>(path), canceler);
}

AnalysisOutcome analyzeStream(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler)
{
    // The streams live in a Trash until the audio has been read.
    std::optional<Trash<SimpleSoundStream>> streams(std::in_place);
    SimpleSoundStream* file = source.get();
    streams->append(source.release());
    if (!file->isopen())
        return failed(NOT_OPEN);
    const int32_t channels = file->channels();
    if (channels >= 3)
        return failed(TOO_MANY_CHANNELS);
    SimpleSoundStream* stream = file;
    if (channels != 1) {
        stream = new SoundStreamMono(file, false);
        streams->append(stream);
    }

    const int64_t length = stream->length();
    const uint32_t frameCount = uint32_t(length);  // the low 32 bits
    const double sr = stream->samplerate();
    // Lengths beyond 32 bits do not fit the analysis or the data record; their
    // low bits would pass for a different track.
    if (length < 0 || uint64_t(length) > UINT32_MAX)
        return failed(NO_MEMORY);
    if (double(frameCount) / sr < MIN_TRACK_SECONDS) {
        char line[64];
        std::snprintf(line, sizeof line, "Track too short (%.3f s).\n", double(frameCount) / sr);
        return failed(line);
    }

    const uint32_t hop = uint32_t(std::lround(BLOCK_SECONDS * sr));
    // Below 500 Hz a block would be empty; no supported file is like that.
    if (hop == 0)
        return failed(NO_BEAT);
    const uint32_t nb = frameCount / hop;
    const uint32_t span20 = uint32_t(std::lround(LEVEL_SPAN_SECONDS * sr / hop));
    const uint32_t win10 = uint32_t(std::lround(WINDOW_SECONDS * sr / hop));
    const uint32_t minLag = uint32_t(MIN_PERIOD_SECONDS * sr / hop);
    const uint32_t maxLag = uint32_t(MAX_PERIOD_SECONDS * sr / hop);

    // Only the envelope is kept: each chunk is folded into it as it arrives.
    std::unique_ptr<float[]> envelope(new (std::nothrow) float[nb]);
    std::unique_ptr<float[]> chunk(new (std::nothrow) float[CHUNK_FRAMES]);
    if (!envelope || !chunk)
        return failed(NO_MEMORY);
    float* e = envelope.get();
    EnergyEnvelope builder(e, nb, hop);
    for (uint32_t remaining = frameCount; remaining > 0;) {
        if (canceler.iscancelled())
            return cancelled();
        const uint32_t n = std::min(CHUNK_FRAMES, remaining);
        // The read status is not examined; a failed read counts as silence.
        std::fill(chunk.get(), chunk.get() + n, 0.0f);
        stream->read(n, 1, chunk.get());
        builder.add(chunk.get(), n);
        remaining -= n;
    }
    streams.reset();
    chunk.reset();
    if (canceler.iscancelled())
        return cancelled();

    // Level statistics over the middle of the track.
    double peak = 0.0;
    TrackAnalysis result = levels(e, nb, span20, peak);
    if (canceler.iscancelled())
        return cancelled();

    // The music region.
    const uint32_t start = musicstart(e, nb, peak);
    if (canceler.iscancelled())
        return cancelled();
    const uint32_t end = musicend(e, nb, peak);
    if (canceler.iscancelled())
        return cancelled();
    if (end <= start)
        return failed(NO_BEAT);

    double total = 0.0;
    for (uint32_t b = 0; b < nb; ++b)
        total += double(e[b]);
    const double mean = total / nb;
    if (canceler.iscancelled())
        return cancelled();
    for (uint32_t b = 0; b < nb; ++b)
        e[b] = float(double(e[b]) - mean);
    if (canceler.iscancelled())
        return cancelled();

    // Ten-second windows every twenty seconds across the region, or one window
    // over the whole track when the region is not longer than one window.
    uint32_t regionStart = 0, regionEnd = nb, window = nb;
    if (win10 < end - start) {
        regionStart = start;
        regionEnd = end;
        window = win10;
    }
    std::vector<double> periods;
    for (uint64_t pos = regionStart; pos + window <= regionEnd; pos += span20) {
        const uint32_t count = std::min<uint32_t>(window, nb - uint32_t(pos));
        const uint32_t lag = findPeriod(e + pos, count, minLag, maxLag);
        if (canceler.iscancelled())
            return cancelled();
        if (lag != 0)
            periods.push_back(foldPeriod(lag, hop, sr));
    }
    if (periods.empty())
        return failed(NO_BEAT);
    const double firstPeriod = periods.front();
    std::sort(periods.begin(), periods.end());
    const double median = periods[periods.size() / 2];

    // The beat grid at the start and at the end of the region.
    const uint32_t phase = findPhase(e + regionStart, std::min(window, nb - regionStart), uint32_t(firstPeriod));
    const uint32_t firstBlock = regionStart + phase;
    const uint32_t endStart = regionEnd < window ? 0 : regionEnd - window;
    const uint32_t count2 = std::min(window, nb - endStart);
    const uint32_t lag2 = findPeriod(e + endStart, count2, minLag, maxLag);
    if (canceler.iscancelled())
        return cancelled();
    const double endPeriod = lag2 != 0 ? foldPeriod(lag2, hop, sr) : foldPeriod(0.9230769230769231 * sr / hop, hop, sr);
    const uint32_t endStep = uint32_t(endPeriod);
    uint32_t x = endStart + findPhase(e + endStart, count2, endStep);
    while (double(x) + endPeriod <= double(regionEnd))
        x += endStep;
    const uint32_t lastBlock = x;

    result.sampleRate = uint32_t(std::lround(sr));
    result.frameCount = frameCount;
    result.beatPeriod = uint32_t(std::lround(median * hop));
    result.startPeriod = uint32_t(std::lround(firstPeriod * hop));
    result.endPeriod = uint32_t(std::lround(endPeriod * hop));
    result.firstBeat = firstBlock * hop;
    result.lastBeat = lastBlock * hop;

    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::ok;
    outcome.analysis = result;
    outcome.sampleRate = sr;
    return outcome;
}

} // namespace ovra::tempix
