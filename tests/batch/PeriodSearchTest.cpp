// The searches for period and phase, and the folding of periods.
#include "AnalysisSignals.h"
#include "batch/EnergyEnvelope.h"
#include "batch/TrackAnalysis.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace ovra::test;
using namespace ovra::tempix;

// The fast search on real envelopes, in the windows the analysis uses, is
// checked against a plain sequential search by
// TempoDetection.AgreesWithAPlainSecondImplementationAndWithAnEnvelopeInAFile.

TEST(FindPeriod, FastSearchMatchesOnRandomDataOfAwkwardLengths)
{
    // Every variant this build and processor allow; the code for every
    // processor is always there, as the last resort.
    const std::vector<std::string> variants = periodSearchVariants();
    ASSERT_FALSE(variants.empty());
    EXPECT_EQ(variants.back(), "portable");
#if !TEMPIX_X86_PATHS
    EXPECT_EQ(variants, std::vector<std::string>{"portable"});
#endif
    const float one[4] = {1, 0, 1, 0};
    EXPECT_EQ(findPeriodEveryLag("no such variant", one, 4, 1, 3), std::nullopt);
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
        EXPECT_EQ(findPeriodSequential(x.data(), 5 * a, a / 2, 9 * a / 2), a);
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
    EXPECT_EQ(findPeriod(zeros.data(), 5000, 3006, 300), 0u);
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
    std::vector<float> negative(500, -1.0f);
    EXPECT_EQ(findPhase(negative.data(), 500, 50), 0u);
}

TEST(FoldPeriod, FoldsIntoTheBandAroundTwelveThirteenthsOfASecond)
{
    // 0.3 s doubles twice to 1.2 s; 3 s halves twice to 0.75 s (at 44100 Hz, 44-sample blocks).
    for (auto [period, folded] : {std::pair{300.0, 1200.0}, {3006.0, 751.5}, {459.0, 918.0}, {2100.0, 1050.0}})
        EXPECT_DOUBLE_EQ(foldPeriod(period, 44, 44100.0), folded) << period;
    // 12/13 s is inside; the fallback period of the end window stays as it is.
    const double twelveThirteenths = 0.9230769230769231 * 48000.0 / 48;
    for (double inside : {1000.0, twelveThirteenths})
        EXPECT_DOUBLE_EQ(foldPeriod(inside, 48, 48000.0), inside);
    for (double p = 1.0; p < 5000.0; p *= 1.37) {
        const double f = foldPeriod(p, 44, 44100.0);
        EXPECT_GE(f * 44 / 44100.0, 0.6527139518645054);
        EXPECT_LE(f * 44 / 44100.0, 1.305427903729011);
    }
}

TEST(EnergyEnvelope, ChunksOfAnySizeGiveTheValuesOfOnePassOverAllSamples)
{
    Noise noise(3);
    const uint32_t hop = 44, frames = 100000;
    std::vector<float> samples(frames);
    for (float& v : samples)
        v = noise.next();
    const uint32_t nb = frames / hop;
    // The plain way: every sample held, each block summed in double.
    std::vector<float> reference(nb);
    for (uint32_t b = 0; b < nb; ++b) {
        double sum = 0.0;
        for (uint32_t j = 0; j < hop; ++j)
            sum += double(samples[b * hop + j]) * double(samples[b * hop + j]);
        reference[b] = float(sum / nb);
    }
    for (uint32_t chunk : {1u, 7u, 43u, 44u, 45u, 4096u, 65536u, frames}) {
        std::vector<float> e(nb, -1.0f);
        EnergyEnvelope builder(e.data(), nb, hop);
        for (uint32_t at = 0; at < frames; at += chunk)
            builder.add(samples.data() + at, std::min(chunk, frames - at));
        EXPECT_EQ(builder.completed(), nb);
        EXPECT_EQ(e, reference) << "chunk " << chunk;
    }
}
