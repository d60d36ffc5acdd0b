// Loudness through libebur128.
#include "batch/Loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <new>

namespace ovra::tempix {

double replaygaindb(double lufs) { return REPLAYGAIN_REFERENCE_LUFS - lufs; }

struct LoudnessMeter::State {
    ebur128_state* st = nullptr;
    explicit State(ebur128_state* s) : st(s) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State()
    {
        if (st != nullptr)
            ebur128_destroy(&st);
    }
    ebur128_state* get() const { return st; }
};

LoudnessMeter::LoudnessMeter(uint32_t channels_, uint32_t sampleRate, bool truePeak_)
    : channels(channels_), truePeak(truePeak_)
{
    if (channels == 0 || sampleRate == 0)
        throw EINVAL;
    int mode = EBUR128_MODE_I | EBUR128_MODE_HISTOGRAM | EBUR128_MODE_SAMPLE_PEAK;
    if (truePeak)
        mode |= EBUR128_MODE_TRUE_PEAK;
    ebur128_state* made = ebur128_init(channels, sampleRate, mode);
    if (made == nullptr)
        throw ENOMEM;
    try {
        state = std::make_unique<State>(made);
    } catch (...) {
        ebur128_destroy(&made);
        throw;
    }
}

LoudnessMeter::~LoudnessMeter() = default;

bool LoudnessMeter::addplanar(const float* planar, uint32_t frames)
{
    if (spoiled)
        return false;
    const float* samples = planar;
    if (channels > 1) {
        try {
            interleaved.resize(size_t(frames) * channels);
        } catch (const std::bad_alloc&) {
            spoiled = true;
            return false;
        }
        for (uint32_t c = 0; c < channels; ++c) {
            const float* from = planar + size_t(c) * frames;
            float* to = interleaved.data() + c;
            for (uint32_t i = 0; i < frames; ++i)
                to[size_t(i) * channels] = from[i];
        }
        samples = interleaved.data();
    }
    if (ebur128_add_frames_float(state->get(), samples, frames) != EBUR128_SUCCESS) {
        spoiled = true;
        return false;
    }
    return true;
}

namespace {
// The highest peak over the channels; false when libebur128 had none.
template <typename Getter>
bool channelpeak(ebur128_state* state, uint32_t channels, Getter get, double& peak)
{
    peak = 0.0;
    for (uint32_t c = 0; c < channels; ++c) {
        double value = 0.0;
        if (get(state, c, &value) != EBUR128_SUCCESS)
            return false;
        peak = std::max(peak, value);
    }
    return true;
}
} // namespace

LoudnessMeasure LoudnessMeter::measure() const
{
    LoudnessMeasure m;
    if (spoiled)
        return m;
    double lufs = 0.0;
    if (ebur128_loudness_global(state->get(), &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs))
        return m;
    if (!channelpeak(state->get(), channels, ebur128_sample_peak, m.samplePeak))
        return m;
    if (truePeak) {
        if (!channelpeak(state->get(), channels, ebur128_true_peak, m.truePeak))
            return m;
        m.hasTruePeak = true;
    }
    m.lufs = lufs;
    m.measured = true;
    return m;
}

void AlbumLoudness::add(std::shared_ptr<const LoudnessMeter> track)
{
    if (track && track->measure().measured)
        tracks.push_back(std::move(track));
}

LoudnessMeasure AlbumLoudness::measure() const
{
    LoudnessMeasure album;
    if (tracks.empty())
        return album;
    std::vector<ebur128_state*> states;
    album.hasTruePeak = true;
    for (const auto& track : tracks) {
        states.push_back(track->state->get());
        const LoudnessMeasure m = track->measure();
        album.samplePeak = std::max(album.samplePeak, m.samplePeak);
        album.truePeak = std::max(album.truePeak, m.truePeak);
        album.hasTruePeak = album.hasTruePeak && m.hasTruePeak;
    }
    if (!album.hasTruePeak)
        album.truePeak = 0.0;
    double lufs = 0.0;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &lufs) != EBUR128_SUCCESS ||
        !std::isfinite(lufs))
        return LoudnessMeasure();
    album.lufs = lufs;
    album.measured = true;
    return album;
}

} // namespace ovra::tempix
