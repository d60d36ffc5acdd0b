// From the audio of one track to its tempo, beat grid and level measures.
//
// A track of up to EnvelopeLimits::whole blocks is read once and its whole
// envelope held. A longer one is read twice so that its envelope never has to
// be held whole: the first reading gives the mean, the level measures and the
// end of the music from a kept tail; the second finds the start and runs each
// window as its blocks arrive. Both ways compute every value with the same
// operations in the same order, so they give the same analysis.
#include "audio/SimpleSoundFile_AV.h"
#include "audio/SoundStreamMono.h"
#include "audio/Trash.h"
#include "batch/EnergyEnvelope.h"
#include "batch/RunningMean.h"
#include "batch/TrackAnalysis.h"
#include "platform/Threads.h"

#include <algorithm>
#include <bit>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

namespace ovra::tempix {

namespace {

constexpr uint32_t CHUNK_FRAMES = 16384;

const char* const NOT_OPEN = "Could not open track with QuickTime.\n";
const char* const TOO_MANY_CHANNELS = "Track has more than 2 channels.\n";
const char* const NO_MEMORY = "Not enough memory to process track.\n";
const char* const NO_BEAT = "No beat found in track.\n";

AnalysisOutcome failed(const std::string& line)
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

// The stream's shape and the block counts derived from it.
struct Geometry {
    int32_t channels = 0;
    int64_t length = 0;
    double sr = 0.0;
    uint32_t frameCount = 0;
    uint32_t hop = 0;
    uint32_t nb = 0;
    uint32_t span20 = 0;
    uint32_t win10 = 0;
    uint32_t minLag = 0;
    uint32_t maxLag = 0;

    bool operator==(const Geometry&) const = default;
};

template <class T>
std::unique_ptr<T[]> allocate(size_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// One reading of the track: its stream and, for two channels, the down-mix.
// The streams live in a Trash until the reading is closed.
class Reading {
public:
    explicit Reading(std::unique_ptr<SimpleSoundStream> source) : streams(std::in_place), file(source.get())
    {
        streams->append(source.release());
    }

    // The failure line of a stream that cannot be analysed; otherwise nothing,
    // with the geometry filled in.
    std::optional<std::string> check(Geometry& g)
    {
        if (!file || !file->isopen())
            return NOT_OPEN;
        g.channels = file->channels();
        if (g.channels >= 3)
            return TOO_MANY_CHANNELS;
        stream = file;
        if (g.channels != 1) {
            stream = new SoundStreamMono(file, false);
            streams->append(stream);
        }
        g.length = stream->length();
        g.frameCount = uint32_t(g.length);  // the low 32 bits
        g.sr = stream->samplerate();
        // Lengths beyond 32 bits do not fit the analysis or the data record;
        // their low bits would pass for a different track.
        if (g.length < 0 || uint64_t(g.length) > UINT32_MAX)
            return NO_MEMORY;
        if (double(g.frameCount) / g.sr < 4.0) {
            char line[64];
            std::snprintf(line, sizeof line, "Track too short (%.3f s).\n", double(g.frameCount) / g.sr);
            return std::string(line);
        }
        g.hop = uint32_t(std::lround(0.001 * g.sr));
        // Below 500 Hz a block would be empty; no supported file is like that.
        if (g.hop == 0)
            return NO_BEAT;
        g.nb = g.frameCount / g.hop;
        g.span20 = uint32_t(std::lround(20.0 * g.sr / g.hop));
        g.win10 = uint32_t(std::lround(10.0 * g.sr / g.hop));
        g.minLag = uint32_t(0.3 * g.sr / g.hop);
        g.maxLag = uint32_t(3.0 * g.sr / g.hop);
        return std::nullopt;
    }

    enum class Result { done, cancelled, stopped, noMemory };

    // Reads the track in chunks, asking the canceler before each, and hands the
    // blocks each chunk completes to take(first block, values, count), which
    // returns false to stop. The read status is not examined: a failed read
    // counts as silence. The streams are released at the end.
    template <class Take>
    Result read(const Geometry& g, Canceler& canceler, Take&& take)
    {
        std::unique_ptr<float[]> chunk = allocate<float>(CHUNK_FRAMES);
        std::unique_ptr<float[]> blocks = allocate<float>(CHUNK_FRAMES / g.hop + 1);
        if (!chunk || !blocks)
            return Result::noMemory;
        EnergyEnvelope builder(g.nb, g.hop);
        for (uint32_t remaining = g.frameCount; remaining > 0;) {
            if (canceler.iscancelled())
                return Result::cancelled;
            const uint32_t n = std::min(CHUNK_FRAMES, remaining);
            std::fill(chunk.get(), chunk.get() + n, 0.0f);
            stream->read(n, 1, chunk.get());
            const uint32_t made = builder.add(chunk.get(), n, blocks.get());
            if (made > 0 && !take(builder.completed() - made, blocks.get(), made))
                return Result::stopped;
            remaining -= n;
        }
        close();
        return Result::done;
    }

    void close() { streams.reset(); }

private:
    std::optional<Trash<SimpleSoundStream>> streams;
    SimpleSoundStream* file;
    SimpleSoundStream* stream = nullptr;
};

// Loudness and peak level over the middle 20 s, fed block by block.
class MiddleLevels {
public:
    explicit MiddleLevels(const Geometry& g) : len(std::min(g.span20, g.nb)), first((g.nb - len) / 2)
    {
        running.clear();
    }
    void push(uint32_t b, float value)
    {
        if (b < first || b - first >= len)
            return;
        sum += double(value);
        running.push(value);
        peak = std::max(peak, running.mean());
    }
    uint32_t firstblock() const { return first; }
    uint32_t count() const { return len; }
    // The largest running mean: the base of the thresholds of the music region.
    double peakmean() const { return peak; }
    uint32_t loudness() const { return uint32_t(std::lround(std::sqrt(sum / len) * 4294967295.0)); }
    uint32_t peaklevel() const { return uint32_t(std::lround(std::sqrt(peak) * 4294967295.0)); }

private:
    const uint32_t len;
    const uint32_t first;
    RunningMean running;
    double sum = 0.0;
    double peak = 0.0;
};

// The start of the music: the first block at which the running mean reaches
// 0.4 of the peak.
class StartScan {
public:
    explicit StartScan(double peak) : threshold(0.4 * peak) { running.clear(); }
    // True once the start is found (at this block or before).
    bool push(uint32_t b, float value)
    {
        if (found)
            return true;
        running.push(value);
        if (running.mean() >= threshold) {
            found = true;
            start = b;
        }
        return found;
    }
    bool isfound() const { return found; }
    uint32_t block() const { return start; }

private:
    const double threshold;
    RunningMean running;
    bool found = false;
    uint32_t start = 0;
};

// The end of the music: from block high down to block low, the first block at
// which the running mean reaches 0.6 of the peak. value(b) gives block b.
template <class Value>
std::optional<uint32_t> scanend(uint32_t high, uint32_t low, double peak, Value&& value)
{
    RunningMean running;
    running.clear();
    const double threshold = 0.6 * peak;
    for (uint32_t b = high; b >= low && b >= 1; --b) {
        running.push(value(b));
        if (running.mean() >= threshold)
            return b;
    }
    return std::nullopt;
}

float withoutmean(float value, double mean)
{
    return float(double(value) - mean);
}

// Runs the period search on one window; false when the run was cancelled.
bool searchwindow(const Geometry& g, const float* window, uint32_t count, std::vector<double>& periods,
                  Canceler& canceler)
{
    const uint32_t lag = findPeriod(window, count, g.minLag, g.maxLag);
    if (canceler.iscancelled())
        return false;
    if (lag != 0)
        periods.push_back(foldPeriod(lag, g.hop, g.sr));
    return true;
}

// Where the mean-free envelope's windows lie, for the beat grid.
struct GridWindows {
    const float* first;     // the window at the region's start
    uint32_t firstCount;
    uint32_t regionStart;
    uint32_t regionEnd;
    const float* last;      // the window that ends at the region's end
    uint32_t lastCount;
    uint32_t lastStart;
};

// The median period and the beat grid at both ends of the region, and the result.
AnalysisOutcome finishgrid(const Geometry& g, std::vector<double>& periods, const GridWindows& w,
                           TrackAnalysis result, Canceler& canceler)
{
    if (periods.empty())
        return failed(NO_BEAT);
    const double firstPeriod = periods.front();
    std::sort(periods.begin(), periods.end());
    const double median = periods[periods.size() / 2];

    const uint32_t phase = findPhase(w.first, w.firstCount, uint32_t(firstPeriod));
    const uint32_t firstBlock = w.regionStart + phase;
    const uint32_t lag2 = findPeriod(w.last, w.lastCount, g.minLag, g.maxLag);
    if (canceler.iscancelled())
        return cancelled();
    const double endPeriod =
        lag2 != 0 ? foldPeriod(lag2, g.hop, g.sr) : foldPeriod(0.9230769230769231 * g.sr / g.hop, g.hop, g.sr);
    const uint32_t endStep = uint32_t(endPeriod);
    uint32_t x = w.lastStart + findPhase(w.last, w.lastCount, endStep);
    while (double(x) + endPeriod <= double(w.regionEnd))
        x += endStep;
    const uint32_t lastBlock = x;

    result.sampleRate = uint32_t(std::lround(g.sr));
    result.frameCount = g.frameCount;
    result.beatPeriod = uint32_t(std::lround(median * g.hop));
    result.startPeriod = uint32_t(std::lround(firstPeriod * g.hop));
    result.endPeriod = uint32_t(std::lround(endPeriod * g.hop));
    result.firstBeat = firstBlock * g.hop;
    result.lastBeat = lastBlock * g.hop;

    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::ok;
    outcome.analysis = result;
    outcome.sampleRate = g.sr;
    return outcome;
}

// One reading, the whole envelope held.
AnalysisOutcome analyzewhole(Reading& reading, const Geometry& g, Canceler& canceler)
{
    std::unique_ptr<float[]> envelope = allocate<float>(g.nb);
    if (!envelope)
        return failed(NO_MEMORY);
    float* e = envelope.get();
    const Reading::Result read = reading.read(g, canceler, [e](uint32_t first, const float* values, uint32_t n) {
        std::copy(values, values + n, e + first);
        return true;
    });
    if (read == Reading::Result::noMemory)
        return failed(NO_MEMORY);
    if (read != Reading::Result::done || canceler.iscancelled())
        return cancelled();

    MiddleLevels levels(g);
    for (uint32_t i = 0; i < levels.count(); ++i)
        levels.push(levels.firstblock() + i, e[levels.firstblock() + i]);
    if (canceler.iscancelled())
        return cancelled();
    TrackAnalysis result;
    result.loudness = levels.loudness();
    result.peakLevel = levels.peaklevel();
    const double peak = levels.peakmean();

    StartScan startScan(peak);
    for (uint32_t b = 0; b < g.nb && !startScan.push(b, e[b]); ++b) {
    }
    const uint32_t start = startScan.isfound() ? startScan.block() : g.nb;
    if (canceler.iscancelled())
        return cancelled();
    const uint32_t end = scanend(g.nb - 1, 1, peak, [e](uint32_t b) { return e[b]; }).value_or(0);
    if (canceler.iscancelled())
        return cancelled();
    if (end <= start)
        return failed(NO_BEAT);

    double total = 0.0;
    for (uint32_t b = 0; b < g.nb; ++b)
        total += double(e[b]);
    const double mean = total / g.nb;
    if (canceler.iscancelled())
        return cancelled();
    for (uint32_t b = 0; b < g.nb; ++b)
        e[b] = withoutmean(e[b], mean);
    if (canceler.iscancelled())
        return cancelled();

    // Ten-second windows every twenty seconds across the region, or one window
    // over the whole track when the region is not longer than one window.
    uint32_t regionStart = 0, regionEnd = g.nb, window = g.nb;
    if (g.win10 < end - start) {
        regionStart = start;
        regionEnd = end;
        window = g.win10;
    }
    std::vector<double> periods;
    for (uint64_t pos = regionStart; pos + window <= regionEnd; pos += g.span20) {
        const uint32_t count = std::min<uint32_t>(window, g.nb - uint32_t(pos));
        if (!searchwindow(g, e + pos, count, periods, canceler))
            return cancelled();
    }
    const uint32_t endStart = regionEnd < window ? 0 : regionEnd - window;
    const GridWindows w{e + regionStart, std::min(window, g.nb - regionStart), regionStart, regionEnd,
                        e + endStart,    std::min(window, g.nb - endStart),    endStart};
    return finishgrid(g, periods, w, result, canceler);
}

// A fingerprint of every block's bits, to tell whether two readings agree.
class Fingerprint {
public:
    void add(float value)
    {
        hash = (std::rotl(hash, 5) ^ std::bit_cast<uint32_t>(value)) * 0x9E3779B97F4A7C15ull;
        ++count;
    }
    bool operator==(const Fingerprint&) const = default;

private:
    uint64_t hash = 0;
    uint64_t count = 0;
};

// Hands the memory of a closed reading back to the system before the next one:
// a long MP4's demuxer tables are megabytes, and the next reading's would
// otherwise land beside them rather than in their place.
void givebackfreed()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// What the first of two readings finds.
struct FirstReading {
    double mean = 0.0;
    double peak = 0.0;
    TrackAnalysis levels;
    std::optional<uint32_t> end;  // nothing when the kept tail was too short to find it
    Fingerprint fingerprint;
};

// The first reading of a long track: the mean, the level measures, and the end
// of the music found in the last blocks, which are kept. Gives an outcome only
// when the analysis ends here.
std::optional<AnalysisOutcome> readfirst(Reading& reading, const Geometry& g, const EnvelopeLimits& limits,
                                         Canceler& canceler, FirstReading& found)
{
    const uint32_t tailLength = std::min(std::max(limits.tail, 1u), g.nb);
    const uint32_t tailStart = g.nb - tailLength;
    std::unique_ptr<float[]> tail = allocate<float>(tailLength);
    if (!tail)
        return failed(NO_MEMORY);
    MiddleLevels levels(g);
    double total = 0.0;
    const Reading::Result read = reading.read(g, canceler, [&](uint32_t first, const float* values, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t b = first + i;
            total += double(values[i]);
            levels.push(b, values[i]);
            found.fingerprint.add(values[i]);
            if (b >= tailStart)
                tail[b - tailStart] = values[i];
        }
        return true;
    });
    if (read == Reading::Result::noMemory)
        return failed(NO_MEMORY);
    if (read != Reading::Result::done || canceler.iscancelled())
        return cancelled();
    givebackfreed();
    found.levels.loudness = levels.loudness();
    found.levels.peakLevel = levels.peaklevel();
    found.peak = levels.peakmean();
    found.mean = total / g.nb;

    const float* t = tail.get();
    found.end = scanend(g.nb - 1, std::max(tailStart, 1u), found.peak, [t, tailStart](uint32_t b) {
        return t[b - tailStart];
    });
    // A tail that reaches back to block 1 has seen every block the scan looks at.
    if (!found.end && tailStart <= 1)
        found.end = 0;
    if (canceler.iscancelled())
        return cancelled();
    return std::nullopt;
}

// The second reading of a long track: the start of the music, then every
// window of the region and the window at its end, each searched as soon as its
// blocks are in. No outcome when the track needs its whole envelope after all
// (a region of no more than one window), or when this reading does not match
// the first.
std::optional<AnalysisOutcome> readsecond(Reading& reading, const Geometry& g, const FirstReading& first,
                                          Canceler& canceler)
{
    const uint32_t end = *first.end;
    const uint32_t window = g.win10;
    std::unique_ptr<float[]> firstWindow = allocate<float>(window);
    std::unique_ptr<float[]> current = allocate<float>(window);
    std::unique_ptr<float[]> lastWindow = allocate<float>(window);
    if (!firstWindow || !current || !lastWindow)
        return failed(NO_MEMORY);
    StartScan startScan(first.peak);
    std::vector<double> periods;
    Fingerprint fingerprint;
    bool needsWhole = false;
    bool cancel = false;
    uint32_t start = 0;
    uint32_t lastStart = 0;

    auto take = [&](uint32_t firstBlock, const float* values, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t b = firstBlock + i;
            fingerprint.add(values[i]);
            if (!startScan.isfound()) {
                if (!startScan.push(b, values[i]))
                    continue;
                start = b;
                if (end <= start)
                    continue;  // no music region; the rest is only compared
                if (!(window < end - start)) {
                    needsWhole = true;
                    return false;
                }
                lastStart = end - window;
            }
            if (end <= start)
                continue;
            const float value = withoutmean(values[i], first.mean);
            // Windows of W blocks every span20 blocks from the start, each
            // ending at or before the end; and the window ending at the end.
            const uint32_t offset = b - start;
            const uint32_t at = offset % g.span20;
            if (at < window && uint64_t(b - at) + window <= end) {
                float* w = offset < g.span20 ? firstWindow.get() : current.get();
                w[at] = value;
                if (at == window - 1 && !searchwindow(g, w, window, periods, canceler)) {
                    cancel = true;
                    return false;
                }
            }
            if (b >= lastStart && b < end)
                lastWindow[b - lastStart] = value;
        }
        return true;
    };
    const Reading::Result read = reading.read(g, canceler, take);
    givebackfreed();
    if (needsWhole)
        return std::nullopt;
    if (read == Reading::Result::noMemory)
        return failed(NO_MEMORY);
    if (cancel || read != Reading::Result::done || canceler.iscancelled())
        return cancelled();
    if (!(fingerprint == first.fingerprint))
        return std::nullopt;
    if (!startScan.isfound() || end <= start)
        return failed(NO_BEAT);
    const GridWindows w{firstWindow.get(), window, start, end, lastWindow.get(), window, lastStart};
    return finishgrid(g, periods, w, first.levels, canceler);
}

// A new reading of the same audio, checked: the whole analysis of it, and
// nothing else, once the audio could have changed or a way needs it whole.
AnalysisOutcome analyzeagain(const StreamOpener& open, Canceler& canceler)
{
    std::unique_ptr<SimpleSoundStream> stream = open();
    if (!stream)
        return failed(NOT_OPEN);
    Reading reading(std::move(stream));
    Geometry g;
    if (std::optional<std::string> problem = reading.check(g))
        return failed(*problem);
    return analyzewhole(reading, g, canceler);
}

AnalysisOutcome analyze(std::unique_ptr<SimpleSoundStream> source, const StreamOpener* reopen, Canceler& canceler,
                        const EnvelopeLimits& limits)
{
    Geometry g;
    {
        Reading reading(std::move(source));
        if (std::optional<std::string> problem = reading.check(g))
            return failed(*problem);
        if (!reopen || g.nb <= limits.whole)
            return analyzewhole(reading, g, canceler);

        FirstReading first;
        if (std::optional<AnalysisOutcome> outcome = readfirst(reading, g, limits, canceler, first))
            return *outcome;
        if (!first.end)
            return analyzeagain(*reopen, canceler);  // the music ends before the kept tail
        if (*first.end == 0)
            return failed(NO_BEAT);  // nothing after block 0: no region, whatever its start
        // Cancelled between the readings: ask before opening the file again.
        if (canceler.iscancelled())
            return cancelled();

        std::unique_ptr<SimpleSoundStream> stream = (*reopen)();
        if (!stream)
            return failed(NOT_OPEN);
        Reading second(std::move(stream));
        Geometry again;
        if (second.check(again) || !(again == g))
            return analyzeagain(*reopen, canceler);
        if (std::optional<AnalysisOutcome> outcome = readsecond(second, g, first, canceler))
            return *outcome;
    }
    return analyzeagain(*reopen, canceler);
}

} // namespace

AnalysisOutcome analyzeTrack(const char* path, Canceler& canceler)
{
    const std::string file = path ? path : "";
    return analyzeStreams([&file] { return std::make_unique<SimpleSoundFile_AV>(file.c_str()); }, canceler);
}

AnalysisOutcome analyzeStream(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler)
{
    return analyze(std::move(source), nullptr, canceler, EnvelopeLimits());
}

AnalysisOutcome analyzeStreams(const StreamOpener& open, Canceler& canceler, const EnvelopeLimits& limits)
{
    std::unique_ptr<SimpleSoundStream> first = open();
    if (!first)
        return failed(NOT_OPEN);
    return analyze(std::move(first), &open, canceler, limits);
}

} // namespace ovra::tempix
