// The searches for period and phase.
#include "AnalysisSignals.h"
#include "batch/TrackAnalysis.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace ovra::test;
using namespace ovra::tempix;

// The fast search on real envelopes, in the windows the analysis uses, the
// folding of periods and the envelope built chunk by chunk are checked against
// a plain second implementation by
// TempoDetection.AgreesWithAPlainSecondImplementationAndWithAnEnvelopeInAFile.

TEST(FindPeriod, FastSearchMatchesOnRandomDataOfAwkwardLengths)
{
    // Every variant this build and processor allow; the code for every
    // processor is always there, as the last resort.
    const std::vector<std::string> variants = periodSearchVariants();
    ASSERT_FALSE(variants.empty());
    EXPECT_EQ(variants.back(), "portable");
    Noise noise(99);
    for (uint32_t n :
         {0u, 1u, 31u, 32u, 33u, 100u, 299u, 300u, 301u, 1000u, 3005u, 3006u, 3007u, 3040u, 4000u, 10000u}) {
        std::vector<float> x(n);
        for (float& v : x)
            v = noise.next();
        for (auto [lo, hi] : {std::pair{300u, 3006u}, std::pair{1u, 40u}, std::pair{0u, 5u}, std::pair{7u, 7u},
                              std::pair{50u, 20u}, std::pair{2990u, 3100u}}) {
            const uint32_t sequential = findPeriodSequential(x.data(), n, lo, hi);
            EXPECT_EQ(findPeriod(x.data(), n, lo, hi), sequential) << n << " " << lo << ".." << hi;
            for (const std::string& variant : variants)
                EXPECT_EQ(findPeriodEveryLag(variant, x.data(), n, lo, hi), sequential) << variant << " " << n;
        }
    }
}

TEST(FindPeriod, TiesKeepTheSmallerLagAndNothingPositiveGivesZero)
{
    // Ones at 0, a, 3a, 4a: lags a and 3a both pair twice.
    for (uint32_t a : {10u, 100u}) {
        std::vector<float> x(5 * a, 0.0f);
        x[0] = x[a] = x[3 * a] = x[4 * a] = 1.0f;
        EXPECT_EQ(findPeriod(x.data(), 5 * a, a / 2, 9 * a / 2), a);
        // Without lag a in range the tie partner wins.
        EXPECT_EQ(findPeriod(x.data(), 5 * a, a + 1, 9 * a / 2), 3 * a);
    }
    // The same on windows long enough for the transform: the exact tie is kept.
    {
        const uint32_t a = 1000, n = 9000;
        std::vector<float> x(n, 0.0f);
        x[0] = x[a] = x[3 * a] = x[4 * a] = 1.0f;
        EXPECT_EQ(findPeriod(x.data(), n, 300, 3006), a);
        EXPECT_EQ(findPeriod(x.data(), n, a + 1, 3006), 3 * a);
        // A sum larger by one product of 2^-24 is told from the tie.
        x[4 * a + 1] = 1.0f / 16777216.0f;
        x[3 * a + 1] = 1.0f;
        EXPECT_EQ(findPeriodSequential(x.data(), n, 300, 3006), findPeriod(x.data(), n, 300, 3006));
    }
    // A signal that repeats exactly has many near-equal lags: still the same lag.
    {
        std::vector<float> x(12000);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = (i % 7 == 0 ? 1.0f : -0.125f) + (i % 11 == 0 ? 0.5f : 0.0f);
        EXPECT_EQ(findPeriod(x.data(), 12000, 300, 3006), findPeriodSequential(x.data(), 12000, 300, 3006));
    }
    std::vector<float> alternating(200);
    for (size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = i % 2 ? 1.0f : -1.0f;
    // Only odd lags in range, and every odd lag correlates negatively.
    EXPECT_EQ(findPeriod(alternating.data(), 200, 3, 4), 0u);
    std::vector<float> zeros(5000, 0.0f);
    EXPECT_EQ(findPeriod(zeros.data(), 5000, 300, 3006), 0u);
}

TEST(FindPhase, PicksTheStrongestPhaseAndTheSmallerOnTies)
{
    std::vector<float> x(1000, -0.1f);
    for (size_t i = 37; i < x.size(); i += 100)
        x[i] = 1.0f;
    EXPECT_EQ(findPhase(x.data(), 1000, 100), 37u);
    for (size_t i = 12; i < x.size(); i += 100)
        x[i] = 1.0f;
    EXPECT_EQ(findPhase(x.data(), 1000, 100), 12u);
    // Values past k whole periods are not looked at.
    std::vector<float> tail(250, -1.0f);
    tail[240] = 50.0f;
    tail[40] = 0.5f;
    EXPECT_EQ(findPhase(tail.data(), 250, 100), 0u); // 40 sums 0.5 + (-1) < 0
    tail[140] = 1.0f;
    EXPECT_EQ(findPhase(tail.data(), 250, 100), 40u);
}
