// EBU R128 loudness and peaks of a track, measured on the samples the
// analysis decodes anyway, and the album figures over several tracks.
#pragma once
#include "tags/ReplayGain.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ovra::tempix {

// What the analysis measures besides the tempo; all off by default, so that
// a run without ReplayGain does not do any of this work.
struct AnalysisOptions {
    bool loudness = false; // integrated loudness and sample peak
    bool truePeak = false; // also the true peak (4x oversampled); implies loudness
};

// One track's (or one album's) figures. measured is false when nothing was
// measured, when a read of the audio failed, or when the track is silent
// (no block above the absolute gate, so there is no loudness to speak of).
struct LoudnessMeasure {
    bool measured = false;
    double lufs = 0.0;       // integrated loudness, LUFS
    double samplePeak = 0.0; // linear, 1.0 = full scale
    double truePeak = 0.0;   // linear; 0 unless the true peak was asked for
    bool hasTruePeak = false;
};

// ReplayGain 2.0: the gain that brings the track to -18 LUFS, in dB.
constexpr double REPLAYGAIN_REFERENCE_LUFS = -18.0;
// Opus (RFC 7845) gains are relative to -23 LUFS.
constexpr double R128_REFERENCE_LUFS = -23.0;
double replaygaindb(double lufs);
// The texts of the tags (replaygaintext, r128gain, ...) are the tag layer's:
// tags/ReplayGain.h.

// Feeds planar float frames to an ebur128 state. The state keeps a histogram
// of its blocks only (a few kilobytes, whatever the track's length), which is
// all the album loudness needs.
class LoudnessMeter {
public:
    // Throws ENOMEM when libebur128 cannot make its state, EINVAL for an
    // unusable channel count or rate.
    LoudnessMeter(uint32_t channels, uint32_t sampleRate, bool truePeak);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // frames of each channel, one after the other (channel 0's first).
    // False when libebur128 refused them.
    bool addplanar(const float* planar, uint32_t frames);
    // The track is marked unmeasured from here on (a read that failed).
    void spoil() { spoiled = true; }
    LoudnessMeasure measure() const;

private:
    friend class AlbumLoudness;
    struct State; // libebur128's state, which has no name to declare ahead
    std::unique_ptr<State> state;
    uint32_t channels;
    bool truePeak;
    bool spoiled = false;
    std::vector<float> interleaved;
};

// The tracks of one album: their loudness taken together (the blocks of all
// tracks gated as one programme, not an average of the track figures), and
// the highest peak of any track.
class AlbumLoudness {
public:
    // A finished track; unmeasured ones are not counted (null is ignored).
    void add(std::shared_ptr<const LoudnessMeter> track);
    size_t size() const { return tracks.size(); }
    LoudnessMeasure measure() const;

private:
    std::vector<std::shared_ptr<const LoudnessMeter>> tracks;
};

} // namespace ovra::tempix
