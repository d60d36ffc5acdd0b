// The mono down-mix.
#include "MemorySoundStream.h"
#include "audio/SoundStreamMono.h"

#include <gtest/gtest.h>

using namespace ovra;
using namespace ovra::test;

TEST(SoundStreamMono, AveragesLeftAndRightInSinglePrecision)
{
    MemorySoundStream stereo({{0.5f, -1.0f, 0.25f, 0.1f, -0.999969482421875f}, {-0.5f, -1.0f, 0.75f, 0.2f, 0.3f}},
                             44100);
    SoundStreamMono mono(&stereo, false);
    float out[7] = {9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(mono.read(7, 1, out), 0);
    // Past the end: silence.
    const std::vector<float> mean = {0.0f, -1.0f, 0.5f, (0.1f + 0.2f) * 0.5f, (-0.999969482421875f + 0.3f) * 0.5f,
                                     0,    0};
    EXPECT_EQ(std::vector<float>(out, out + 7), mean);
    EXPECT_FALSE(mono.isopen());
}

// A read error of the source reaches the analysis through the down-mix
// (Loudness.NoMeasureForSilenceFailedReadsShortTracksOrCancellation).
