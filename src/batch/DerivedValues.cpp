// The BPM, the start and stop times and the volume derived from an analysis.
#include "batch/TrackAnalysis.h"
#include "tags/VolumeScale.h"

#include <algorithm>
#include <cmath>

namespace ovra::tempix {

int computeBPM(uint32_t beatPeriod, double sampleRate)
{
    if (beatPeriod == 0 || !(sampleRate > 0.0))
        return 0;
    return int(std::lround(120.0 / (double(beatPeriod) / sampleRate)));
}

namespace {

// The smallest k >= 0 with k * period >= half; none for a period that cannot
// move (a damaged record), which leaves the beat where it is.
int64_t wholeperiods(int64_t half, int64_t period)
{
    if (half <= 0 || period <= 0)
        return 0;
    return (half + period - 1) / period;
}

int32_t milliseconds(int32_t samples, double sampleRate)
{
    return int32_t(std::lround(double(samples) / sampleRate * 1000.0));
}

} // namespace

TrackTimes computeTimes(const TrackAnalysis& analysis, double sampleRate, bool lessIntro)
{
    TrackTimes times;
    if (!(sampleRate > 0.0))
        return times;
    int32_t start = int32_t(analysis.firstBeat);
    int32_t stop = int32_t(analysis.lastBeat);
    if (lessIntro) {
        const int64_t half = std::lround(8.0 * sampleRate) / 2;
        const int64_t startPeriod = int32_t(analysis.startPeriod);
        const int64_t endPeriod = int32_t(analysis.endPeriod);
        start = int32_t(start + wholeperiods(half, startPeriod) * startPeriod);
        stop = int32_t(stop - wholeperiods(half, endPeriod) * endPeriod);
    }
    times.startMs = milliseconds(start, sampleRate);
    times.stopMs = milliseconds(stop, sampleRate);
    return times;
}

VolumeAdjustment computeVolume(uint32_t loudness, uint32_t peakLevel)
{
    const double l = loudness;
    const double p = peakLevel;
    const double x = std::sqrt(std::sqrt(p * p + 16.0 * l * l));
    const long raw = std::lround((x - 8500.0) * 65536.0 / -3500.0);
    VolumeAdjustment volume;
    volume.value = int32_t(std::clamp<long>(raw, ovra::RVA_MIN, ovra::RVA_MAX));
    volume.percent = ovra::rvatopercent(volume.value);
    volume.libraryVolume = ovra::rvatolibraryvolume(volume.value);
    return volume;
}

} // namespace ovra::tempix
