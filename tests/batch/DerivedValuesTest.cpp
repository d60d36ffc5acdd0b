// Start and stop times, the volume and the BPM from an analysis.
#include "batch/TrackAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

using namespace ovra::tempix;

TEST(Times, LessIntroMovesInWholePeriodsOfAtLeastFourSeconds)
{
    const struct {
        const char* what;
        uint32_t firstBeat, lastBeat, startPeriod, endPeriod;
        bool lessIntro;
        int startMs, stopMs;
    } rows[] = {
        {"without less intro, the first and last beat", 152988, 1186724, 41360, 41360, false, 3469, 26910},
        {"exactly 1.0 s: four periods; 0.9 s: five", 44100, 44100 * 60, 44100, 39690, true, 5000, 60000 - 4500},
        {"the start after the stop: both kept", 44100, 44100 * 6, 44100, 44100, true, 5000, 2000},
        {"a damaged record with a zero period does not hang", 1000, 900000, 0, 0, true, 23, 20408},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TrackAnalysis a;
        a.firstBeat = row.firstBeat;
        a.lastBeat = row.lastBeat;
        a.startPeriod = row.startPeriod;
        a.endPeriod = row.endPeriod;
        TrackTimes t = computeTimes(a, 44100.0, row.lessIntro);
        EXPECT_EQ(t.startMs, row.startMs);
        EXPECT_EQ(t.stopMs, row.stopMs);
        EXPECT_EQ(computeTimes(a, 0.0, row.lessIntro).startMs, 0);
    }
    // At 22050 Hz half is 88200 samples; at an odd rate half rounds down.
    TrackAnalysis a;
    a.lastBeat = 2000000;
    a.startPeriod = a.endPeriod = 30000;
    EXPECT_EQ(computeTimes(a, 22050.0, true).startMs, std::lround(90000 / 22050.0 * 1000.0));
    EXPECT_EQ(computeTimes(a, 11025.5, true).startMs, std::lround(60000 / 11025.5 * 1000.0));
}

TEST(Volume, ScaleAndLimits)
{
    // The volume value 32767 gives 50 % (49.9992) and 127 (127.498).
    const double half = 8500.0 - 32767.0 * 3500.0 / 65536.0;
    const struct {
        const char* what;
        uint32_t loudness, peak;
        int value, percent, library;
    } rows[] = {
        {"x = 8500 exactly: P = 8500^2, L = 0", 0, 72250000, 0, 0, 0},
        {"quiet: x = 5000 or less is the upper limit", 0, 25000000, 65535, 100, 255},
        {"loud: x = 12000 or more is the lower limit", 0, 144000000, -65535, -100, -255},
        {"the loudest", 4294967295u, 4294967295u, -65535, -100, -255},
        {"half of the scale", 0, uint32_t(std::llround(half * half)), 32767, 50, 127},
        {"loudness counts four times the peak level: 16 L^2 = (4L)^2", 18062500, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        VolumeAdjustment v = computeVolume(row.loudness, row.peak);
        EXPECT_EQ(v.value, row.value);
        EXPECT_EQ(v.percent, row.percent);
        EXPECT_EQ(v.libraryVolume, row.library);
    }
}

TEST(Bpm, FromBeatPeriodAndRate)
{
    for (auto [period, bpm] : {std::pair{40392u, 131}, {46200u, 115}, {41360u, 128}, {44100u, 120}, {0u, 0}})
        EXPECT_EQ(computeBPM(period, 44100.0), bpm) << period;
    // Folded periods give 92 ... 184.
    EXPECT_EQ(computeBPM(uint32_t(std::lround(1.305427903729011 * 48000)), 48000.0), 92);
    EXPECT_EQ(computeBPM(uint32_t(std::lround(0.6527139518645054 * 48000)), 48000.0), 184);
}
