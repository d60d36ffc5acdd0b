// ReplayGain 2.0 values as tags hold them, and their texts.
#pragma once
#include <optional>
#include <string>

namespace ovra {

// Each value present or not. Gains in dB towards -18 LUFS, peaks linear
// (1.0 = full scale). Opus files hold gains only, as R128 fields towards
// -23 LUFS; they are converted on the way in and out.
struct ReplayGain {
    std::optional<double> trackGain;
    std::optional<double> trackPeak;
    std::optional<double> albumGain;
    std::optional<double> albumPeak;

    bool empty() const { return !trackGain && !trackPeak && !albumGain && !albumPeak; }
    bool operator==(const ReplayGain&) const = default;
};

// The four field names as ReplayGain 2.0 writes them, in this order:
// track gain, track peak, album gain, album peak.
extern const char* const REPLAYGAIN_FIELDS[4];
// The Opus fields of the track and album gains.
constexpr const char* R128_TRACK_FIELD = "R128_TRACK_GAIN";
constexpr const char* R128_ALBUM_FIELD = "R128_ALBUM_GAIN";

// A value of the struct by the index of its field name.
std::optional<double>& replaygainvalue(ReplayGain& values, int index);
const std::optional<double>& replaygainvalue(const ReplayGain& values, int index);

// "%.2f dB" for a gain, "%.6f" for a peak.
std::string replaygaintext(double gainDb);
std::string replaygainpeaktext(double peak);
// The text of the field of that index for a value.
std::string replaygainfieldtext(int index, double value);
// A gain or peak as other programs write it ("-3.56 dB", "+1.2 dB",
// "0.987654"): the leading number; nothing for a text without one.
std::optional<double> parsereplaygain(const std::string& text);

// Opus: the Q7.8 integer of a ReplayGain gain (5 dB less, towards -23
// LUFS), held within int16, and back.
int r128gain(double replayGainDb);
double r128toreplaygain(int q78);
// The leading integer of an R128 field; nothing for any other text.
std::optional<int> parser128(const std::string& text);

} // namespace ovra
