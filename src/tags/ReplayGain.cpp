// ReplayGain texts.
#include "tags/ReplayGain.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ovra {

const char* const REPLAYGAIN_FIELDS[4] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_GAIN",
                                          "REPLAYGAIN_ALBUM_PEAK"};

std::optional<double>& replaygainvalue(ReplayGain& v, int index)
{
    switch (index) {
    case 0:
        return v.trackGain;
    case 1:
        return v.trackPeak;
    case 2:
        return v.albumGain;
    default:
        return v.albumPeak;
    }
}

const std::optional<double>& replaygainvalue(const ReplayGain& v, int index)
{
    return replaygainvalue(const_cast<ReplayGain&>(v), index);
}

std::string replaygaintext(double gainDb)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.2f dB", gainDb);
    return text;
}

std::string replaygainpeaktext(double peak)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.6f", peak);
    return text;
}

std::string replaygainfieldtext(int index, double value)
{
    return index % 2 == 0 ? replaygaintext(value) : replaygainpeaktext(value);
}

std::optional<double> parsereplaygain(const std::string& text)
{
    const char* start = text.c_str();
    while (*start == ' ')
        ++start;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(start, &end);
    if (end == start || errno != 0 || !std::isfinite(value))
        return std::nullopt;
    return value;
}

int r128gain(double replayGainDb)
{
    // -23 - LUFS = (-18 - LUFS) - 5
    const double q = std::round((replayGainDb - 5.0) * 256.0);
    return int(std::clamp(q, -32768.0, 32767.0));
}

double r128toreplaygain(int q78) { return double(q78) / 256.0 + 5.0; }

std::optional<int> parser128(const std::string& text)
{
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start || errno != 0 || value < -32768 || value > 32767)
        return std::nullopt;
    return int(value);
}

} // namespace ovra
