// From the audio of one track to its tempo, beat grid and level measures.
//
// The track is decoded once, block by block, into its energy envelope. A long
// track's envelope goes to a temporary file (EnvelopeStore) instead of memory;
// every later step reads the part it needs, so a one-hour track costs about
// as much memory as a short one and the values are those of holding it whole.
#include "audio/SimpleSoundFile_AV.h"
#include "audio/SoundStreamMono.h"
#include "audio/Trash.h"
#include "batch/EnergyEnvelope.h"
#include "batch/EnvelopeStore.h"
#include "batch/RunningMean.h"
#include "batch/TrackAnalysis.h"
#include "platform/Threads.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

namespace ovra::tempix {

namespace {

// Frames read at a time; smaller reads keep the decoder's buffers small.
constexpr uint32_t CHUNK_FRAMES = 16384;
// Blocks read back at a time by the scans over the envelope.
constexpr uint32_t SCAN_BLOCKS = 16384;

const char* const NOT_OPEN = "Could not open track with QuickTime.\n";
const char* const TOO_MANY_CHANNELS = "Track has more than 2 channels.\n";
const char* const NO_MEMORY = "Not enough memory to process track.\n";
const char* const NO_BEAT = "No beat found in track.\n";

AnalysisOutcome failed(const char* line, AnalysisCause cause)
{
    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::failed;
    outcome.failure = line;
    outcome.cause = cause;
    return outcome;
}

AnalysisOutcome cancelled()
{
    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::cancelled;
    return outcome;
}

// The stream's sizes and the block counts derived from them.
struct Geometry {
    double sr = 0.0;
    uint32_t frameCount = 0, hop = 0, nb = 0; // frames, frames per block, blocks
    uint32_t span20 = 0, win10 = 0;           // blocks in 20 s and in 10 s
    uint32_t minLag = 0, maxLag = 0;          // the beat periods searched, in blocks
};

// The envelope and what was summed while it was built.
struct Envelope {
    EnvelopeStore store;
    double total = 0.0; // the blocks summed in order, as the mean needs them
    Envelope(uint32_t blocks, uint32_t held) : store(blocks, held) {}
};

// Reads the whole stream into the envelope; an outcome when it cannot go on.
std::optional<AnalysisOutcome> readenvelope(SimpleSoundStream& stream, const Geometry& g, Envelope& env,
                                            Canceler& canceler)
{
    std::unique_ptr<float[]> chunk(new (std::nothrow) float[CHUNK_FRAMES]);
    std::unique_ptr<float[]> blocks(new (std::nothrow) float[CHUNK_FRAMES / g.hop + 1]);
    if (!chunk || !blocks || !env.store.ok())
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    EnergyEnvelope builder(g.nb, g.hop);
    for (uint32_t remaining = g.frameCount; remaining > 0;) {
        if (canceler.iscancelled())
            return cancelled();
        const uint32_t n = std::min(CHUNK_FRAMES, remaining);
        // The read status is not examined; a failed read counts as silence.
        std::fill(chunk.get(), chunk.get() + n, 0.0f);
        stream.read(n, 1, chunk.get());
        const uint32_t done = builder.add(chunk.get(), n, blocks.get());
        for (uint32_t i = 0; i < done; ++i)
            env.total += double(blocks[i]);
        if (!env.store.append(blocks.get(), done))
            return failed(NO_MEMORY, AnalysisCause::noMemory);
        remaining -= n;
    }
    return std::nullopt;
}

// Passes the source's frames on and feeds every channel of them to the
// loudness meter on the way. A read that fails spoils the measure: the
// analysis takes the frames as silence, but a gain must not be based on
// audio that was never heard.
class LoudnessTap : public SimpleSoundStream {
public:
    LoudnessTap(SimpleSoundStream* source_, std::shared_ptr<LoudnessMeter> meter_)
        : source(source_), meter(std::move(meter_)), sourceChannels(source_->channels())
    {
    }
    int32_t read(uint32_t frames, int32_t wanted, float* out) override
    {
        if (wanted < 1 || wanted > sourceChannels)
            return -1;
        float* all = out;
        if (wanted != sourceChannels) {
            try {
                buffer.resize(size_t(frames) * size_t(sourceChannels));
            } catch (const std::bad_alloc&) {
                return ENOMEM;
            }
            all = buffer.data();
        }
        const int32_t status = source->read(frames, sourceChannels, all);
        if (status != 0) {
            meter->spoil();
            return status;
        }
        meter->addplanar(all, frames);
        fed += frames;
        if (all != out)
            std::copy(all, all + size_t(frames) * size_t(wanted), out);
        return 0;
    }
    int32_t seek(int64_t frame) override
    {
        // The analysis reads straight through; a seek would count frames twice.
        meter->spoil();
        return source->seek(frame);
    }
    int32_t channels() override { return sourceChannels; }
    double samplerate() override { return source->samplerate(); }
    int64_t length() override { return source->length(); }
    int64_t position() override { return source->position(); }
    bool isopen() override { return source->isopen(); }
    uint64_t framesfed() const { return fed; }

private:
    SimpleSoundStream* source;
    std::shared_ptr<LoudnessMeter> meter;
    int32_t sourceChannels;
    std::vector<float> buffer;
    uint64_t fed = 0;
};

// count blocks from pos, as the envelope holds them or less the mean.
bool readblocks(const Envelope& env, uint32_t pos, uint32_t count, std::vector<float>& out,
                std::optional<double> mean = std::nullopt)
{
    out.resize(count);
    if (!env.store.read(pos, count, out.data()))
        return false;
    if (mean)
        for (float& value : out)
            value = float(double(value) - *mean);
    return true;
}

// The first block from the start where the running mean reaches level, or
// nb; with backward, the first from the end (down to block 1), or 0.
std::optional<uint32_t> scanfor(const Envelope& env, uint32_t nb, double level, bool backward)
{
    RunningMean running;
    running.clear();
    std::vector<float> part;
    for (uint32_t done = 0; done < (backward ? nb - 1 : nb);) {
        const uint32_t left = (backward ? nb - 1 : nb) - done;
        const uint32_t n = std::min(SCAN_BLOCKS, left);
        const uint32_t pos = backward ? nb - done - n : done;
        if (!readblocks(env, pos, n, part))
            return std::nullopt;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t at = backward ? n - 1 - i : i;
            running.push(part[at]);
            if (running.mean() >= level)
                return pos + at;
        }
        done += n;
    }
    return backward ? 0 : nb;
}

} // namespace

AnalysisOutcome analyzeTrack(const char* path, Canceler& canceler)
{
    return analyzeStream(std::make_unique<SimpleSoundFile_AV>(path), canceler);
}

AnalysisOutcome analyzeTrack(const char* path, Canceler& canceler, const AnalysisOptions& options)
{
    return analyzeStream(std::make_unique<SimpleSoundFile_AV>(path), canceler, EnvelopeLimits(), options);
}

AnalysisOutcome analyzeStream(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler)
{
    return analyzeStream(std::move(source), canceler, EnvelopeLimits());
}

namespace {
// The loudness meter and how much of the stream it saw.
struct Metering {
    bool wanted = false;
    bool truePeak = false;
    std::shared_ptr<LoudnessMeter> meter;
    LoudnessTap* tap = nullptr; // owned by the streams
    uint64_t fed = 0;           // frames it saw, noted before the streams go
    int64_t length = -1;
};

AnalysisOutcome analyze(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler, const EnvelopeLimits& limits,
                        Metering& metering);
} // namespace

AnalysisOutcome analyzeStream(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler,
                              const EnvelopeLimits& limits)
{
    Metering none;
    return analyze(std::move(source), canceler, limits, none);
}

AnalysisOutcome analyzeStream(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler,
                              const EnvelopeLimits& limits, const AnalysisOptions& options)
{
    Metering metering;
    metering.wanted = options.loudness || options.truePeak;
    metering.truePeak = options.truePeak;
    AnalysisOutcome outcome = analyze(std::move(source), canceler, limits, metering);
    // Only a stream read to its end has a loudness.
    if (metering.meter && outcome.status != AnalysisStatus::cancelled && metering.length >= 0 &&
        metering.fed == uint64_t(metering.length)) {
        outcome.measure = metering.meter->measure();
        if (outcome.measure.measured)
            outcome.meter = metering.meter;
    }
    return outcome;
}

namespace {
AnalysisOutcome analyze(std::unique_ptr<SimpleSoundStream> source, Canceler& canceler, const EnvelopeLimits& limits,
                        Metering& metering)
{
    // The streams live in a Trash until the audio has been read.
    std::optional<Trash<SimpleSoundStream>> streams(std::in_place);
    SimpleSoundStream* file = source.get();
    streams->append(source.release());
    if (!file->isopen()) {
        // The line stays as it is; the decoder's reason follows on a line of its own.
        AnalysisOutcome outcome = failed(NOT_OPEN, AnalysisCause::notOpened);
        outcome.decoderReason = file->openerror();
        if (!outcome.decoderReason.empty())
            outcome.failure += "The decoder (FFmpeg) says: " + outcome.decoderReason + ".\n";
        return outcome;
    }
    const int32_t channels = file->channels();
    if (channels >= 3)
        return failed(TOO_MANY_CHANNELS, AnalysisCause::tooManyChannels);
    SimpleSoundStream* stream = file;
    if (metering.wanted && channels >= 1) {
        const long rate = std::lround(file->samplerate());
        try {
            metering.meter =
                std::make_shared<LoudnessMeter>(uint32_t(channels), uint32_t(rate > 0 ? rate : 0), metering.truePeak);
        } catch (int) {
            return failed(NO_MEMORY, AnalysisCause::noMemory);
        } catch (const std::bad_alloc&) {
            return failed(NO_MEMORY, AnalysisCause::noMemory);
        }
        metering.tap = new LoudnessTap(file, metering.meter);
        streams->append(metering.tap);
        metering.length = file->length();
        stream = metering.tap;
    }
    if (channels != 1) {
        stream = new SoundStreamMono(stream, false);
        streams->append(stream);
    }

    Geometry g;
    const int64_t length = stream->length();
    g.frameCount = uint32_t(length); // the low 32 bits
    g.sr = stream->samplerate();
    // Lengths beyond 32 bits do not fit the analysis or the data record; their
    // low bits would pass for a different track.
    if (length < 0 || uint64_t(length) > UINT32_MAX)
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    if (double(g.frameCount) / g.sr < 4.0) {
        char line[64];
        std::snprintf(line, sizeof line, "Track too short (%.3f s).\n", double(g.frameCount) / g.sr);
        AnalysisOutcome outcome = failed(line, AnalysisCause::tooShort);
        outcome.seconds = double(g.frameCount) / g.sr;
        return outcome;
    }
    g.hop = uint32_t(std::lround(0.001 * g.sr));
    // Below 500 Hz a block would be empty; no supported file is like that.
    if (g.hop == 0)
        return failed(NO_BEAT, AnalysisCause::noBeat);
    g.nb = g.frameCount / g.hop;
    g.span20 = uint32_t(std::lround(20.0 * g.sr / g.hop));
    g.win10 = uint32_t(std::lround(10.0 * g.sr / g.hop));
    g.minLag = uint32_t(0.3 * g.sr / g.hop);
    g.maxLag = uint32_t(3.0 * g.sr / g.hop);
    const uint32_t nb = g.nb;

    Envelope env(nb, limits.held);
    std::optional<AnalysisOutcome> stop = readenvelope(*stream, g, env, canceler);
    if (metering.tap != nullptr)
        metering.fed = metering.tap->framesfed();
    if (stop)
        return *stop;
    streams.reset();
    if (canceler.iscancelled())
        return cancelled();

    // Level statistics over the middle of the track.
    const uint32_t len = std::min(g.span20, nb);
    std::vector<float> part;
    if (!readblocks(env, (nb - len) / 2, len, part))
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    RunningMean running;
    running.clear();
    double sum = 0.0;
    double peak = 0.0;
    for (uint32_t i = 0; i < len; ++i) {
        sum += double(part[i]);
        running.push(part[i]);
        peak = std::max(peak, running.mean());
    }
    if (canceler.iscancelled())
        return cancelled();
    TrackAnalysis result;
    result.loudness = uint32_t(std::lround(std::sqrt(sum / len) * 4294967295.0));
    result.peakLevel = uint32_t(std::lround(std::sqrt(peak) * 4294967295.0));

    // The music region: where the running mean first reaches 0.4 of the peak,
    // and, from the end, 0.6 of it.
    const std::optional<uint32_t> start = scanfor(env, nb, 0.4 * peak, false);
    if (!start)
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    if (canceler.iscancelled())
        return cancelled();
    const std::optional<uint32_t> end = scanfor(env, nb, 0.6 * peak, true);
    if (!end)
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    if (canceler.iscancelled())
        return cancelled();
    if (*end <= *start)
        return failed(NO_BEAT, AnalysisCause::noBeat);

    // The windows see the envelope less its mean.
    const double mean = env.total / nb;
    if (canceler.iscancelled())
        return cancelled();

    // Ten-second windows every twenty seconds across the region, or one window
    // over the whole track when the region is not longer than one window.
    uint32_t regionStart = 0, regionEnd = nb, window = nb;
    if (g.win10 < *end - *start) {
        regionStart = *start;
        regionEnd = *end;
        window = g.win10;
    }
    std::vector<double> periods;
    for (uint64_t pos = regionStart; pos + window <= regionEnd; pos += g.span20) {
        const uint32_t count = std::min<uint32_t>(window, nb - uint32_t(pos));
        if (!readblocks(env, uint32_t(pos), count, part, mean))
            return failed(NO_MEMORY, AnalysisCause::noMemory);
        const uint32_t lag = findPeriod(part.data(), count, g.minLag, g.maxLag);
        if (canceler.iscancelled())
            return cancelled();
        if (lag != 0)
            periods.push_back(foldPeriod(lag, g.hop, g.sr));
    }
    if (periods.empty())
        return failed(NO_BEAT, AnalysisCause::noBeat);
    const double firstPeriod = periods.front();
    std::sort(periods.begin(), periods.end());
    const double median = periods[periods.size() / 2];

    // The beat grid at the start and at the end of the region.
    const uint32_t count1 = std::min(window, nb - regionStart);
    if (!readblocks(env, regionStart, count1, part, mean))
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    const uint32_t phase = findPhase(part.data(), count1, uint32_t(firstPeriod));
    const uint32_t firstBlock = regionStart + phase;
    const uint32_t endStart = regionEnd < window ? 0 : regionEnd - window;
    const uint32_t count2 = std::min(window, nb - endStart);
    if (!readblocks(env, endStart, count2, part, mean))
        return failed(NO_MEMORY, AnalysisCause::noMemory);
    const uint32_t lag2 = findPeriod(part.data(), count2, g.minLag, g.maxLag);
    if (canceler.iscancelled())
        return cancelled();
    const double endPeriod =
        lag2 != 0 ? foldPeriod(lag2, g.hop, g.sr) : foldPeriod(0.9230769230769231 * g.sr / g.hop, g.hop, g.sr);
    const uint32_t endStep = uint32_t(endPeriod);
    uint32_t x = endStart + findPhase(part.data(), count2, endStep);
    while (double(x) + endPeriod <= double(regionEnd))
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

} // namespace

} // namespace ovra::tempix
