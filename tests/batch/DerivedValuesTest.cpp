// Start and stop times, the volume and the BPM from an analysis.
#include "batch/TrackAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace ovra::tempix;

TEST(Times, WithoutLessIntroTheFirstAndLastBeat)
{
    TrackAnalysis a;
    a.firstBeat = 152988;
    a.lastBeat = 1186724;
    a.startPeriod = a.endPeriod = 41360;
    TrackTimes t = computeTimes(a, 44100.0, false);
    EXPECT_EQ(t.startMs, 3469); // 3469.07
    EXPECT_EQ(t.stopMs, 26910); // 26909.84
}

TEST(Times, LessIntroMovesInWholePeriodsOfAtLeastFourSeconds)
{
    TrackAnalysis a;
    a.firstBeat = 44100;
    a.lastBeat = 44100 * 60;
    a.startPeriod = 44100; // exactly 1.0 s: four periods are enough
    a.endPeriod = 39690;   // 0.9 s: five periods
    TrackTimes t = computeTimes(a, 44100.0, true);
    EXPECT_EQ(t.startMs, 5000);
    EXPECT_EQ(t.stopMs, 60000 - 4500);

    // The start may end up after the stop; both are kept as computed.
    a.firstBeat = 44100;
    a.lastBeat = 44100 * 6;
    a.startPeriod = a.endPeriod = 44100;
    t = computeTimes(a, 44100.0, true);
    EXPECT_EQ(t.startMs, 5000);
    EXPECT_EQ(t.stopMs, 2000);

    // At 22050 Hz half is 88200 samples; at an odd rate half rounds down.
    a.firstBeat = 0;
    a.lastBeat = 2000000;
    a.startPeriod = a.endPeriod = 30000;
    EXPECT_EQ(computeTimes(a, 22050.0, true).startMs, std::lround(90000 / 22050.0 * 1000.0));
    EXPECT_EQ(computeTimes(a, 11025.5, true).startMs, std::lround(60000 / 11025.5 * 1000.0));
}

TEST(Times, ADamagedRecordWithAZeroPeriodDoesNotHang)
{
    TrackAnalysis a;
    a.firstBeat = 1000;
    a.lastBeat = 900000;
    TrackTimes t = computeTimes(a, 44100.0, true);
    EXPECT_EQ(t.startMs, 23);
    EXPECT_EQ(t.stopMs, 20408);
    EXPECT_EQ(computeTimes(a, 0.0, true).startMs, 0);
}

TEST(Volume, ScaleAndLimits)
{
    // x = 8500 exactly: P = 8500^2, L = 0.
    VolumeAdjustment v = computeVolume(0, 72250000);
    EXPECT_EQ(v.value, 0);
    EXPECT_EQ(v.percent, 0);
    EXPECT_EQ(v.libraryVolume, 0);

    // Quiet: x = 5000 or less is the upper limit.
    v = computeVolume(0, 25000000);
    EXPECT_EQ(v.value, 65535);
    EXPECT_EQ(v.percent, 100);
    EXPECT_EQ(v.libraryVolume, 255);
    v = computeVolume(0, 0);
    EXPECT_EQ(v.value, 65535);

    // Loud: x = 12000 or more is the lower limit.
    v = computeVolume(0, 144000000);
    EXPECT_EQ(v.value, -65535);
    EXPECT_EQ(v.percent, -100);
    EXPECT_EQ(v.libraryVolume, -255);
    v = computeVolume(4294967295u, 4294967295u);
    EXPECT_EQ(v.value, -65535);

    // x = 6750: raw = lround(-1750 * 65536 / -3500) = 32768.
    v = computeVolume(0, 45562500);
    EXPECT_EQ(v.value, 32768);
    EXPECT_EQ(v.percent, 50);
    EXPECT_EQ(v.libraryVolume, 128);

    // Loudness counts four times the peak level: 16 L^2 = (4L)^2.
    EXPECT_EQ(computeVolume(18062500, 0).value, 0);
}

TEST(Volume, PercentAndLibraryScaleOfAHalfValue)
{
    // The volume value 32767 gives 50 % (49.9992) and 127 (127.498): reach it through
    // x = 8500 - 32767 * 3500 / 65536.
    const double x = 8500.0 - 32767.0 * 3500.0 / 65536.0;
    const uint32_t p = uint32_t(std::llround(x * x));
    VolumeAdjustment v = computeVolume(0, p);
    ASSERT_EQ(v.value, 32767);
    EXPECT_EQ(v.percent, 50);
    EXPECT_EQ(v.libraryVolume, 127);
}

TEST(Bpm, FromBeatPeriodAndRate)
{
    EXPECT_EQ(computeBPM(40392, 44100.0), 131);
    EXPECT_EQ(computeBPM(46200, 44100.0), 115);
    EXPECT_EQ(computeBPM(41360, 44100.0), 128);
    EXPECT_EQ(computeBPM(44100, 44100.0), 120);
    EXPECT_EQ(computeBPM(0, 44100.0), 0);
    // Folded periods give 92 ... 184.
    EXPECT_EQ(computeBPM(uint32_t(std::lround(1.305427903729011 * 48000)), 48000.0), 92);
    EXPECT_EQ(computeBPM(uint32_t(std::lround(0.6527139518645054 * 48000)), 48000.0), 184);
}
