// The autocorrelation and phase searches of the tempo analysis.
#include "batch/TrackAnalysis.h"

#include <cstring>

namespace ovra::tempix {

uint32_t findPeriodSequential(const float* x, uint32_t n, uint32_t minLag, uint32_t maxLag)
{
    if (minLag >= maxLag)
        return 0;
    double best = 0.0;
    uint32_t bestLag = 0;
    for (uint32_t lag = minLag; lag < maxLag; ++lag) {
        double s = 0.0;
        for (uint32_t i = 0; lag < n && i < n - lag; ++i) {
            float product = x[i] * x[i + lag];
            s += double(product);
        }
        if (s > best) {
            best = s;
            bestLag = lag;
        }
    }
    return bestLag;
}

namespace {

typedef float Floats4 __attribute__((vector_size(16)));
typedef double Doubles4 __attribute__((vector_size(32)));

constexpr uint32_t LANES = 32;

// The sums of LANES neighbouring lags, each lane its own accumulator that adds
// the same terms in the same order as the sequential search: the results are
// the same to the last bit, only many lags advance together.
__attribute__((target_clones("avx2", "default")))
void correlatelags(const float* x, uint32_t n, uint32_t firstLag, double* sums)
{
    Doubles4 acc[LANES / 4] = {};
    const uint32_t lastLag = firstLag + LANES - 1;
    const uint32_t common = n > lastLag ? n - lastLag : 0;  // i where every lane has a partner
    for (uint32_t i = 0; i < common; ++i) {
        const float xi = x[i];
        const Floats4 broadcast = {xi, xi, xi, xi};
        const float* partner = x + i + firstLag;
        for (uint32_t v = 0; v < LANES / 4; ++v) {
            Floats4 p;
            std::memcpy(&p, partner + 4 * v, sizeof p);
            acc[v] += __builtin_convertvector(p * broadcast, Doubles4);
        }
    }
    for (uint32_t v = 0; v < LANES / 4; ++v) {
        for (uint32_t k = 0; k < 4; ++k)
            sums[4 * v + k] = acc[v][k];
    }
    // Each lane's remaining terms, in order.
    for (uint32_t k = 0; k < LANES; ++k) {
        const uint32_t lag = firstLag + k;
        double s = sums[k];
        for (uint32_t i = common; lag < n && i < n - lag; ++i) {
            float product = x[i] * x[i + lag];
            s += double(product);
        }
        sums[k] = s;
    }
}

} // namespace

uint32_t findPeriod(const float* x, uint32_t n, uint32_t minLag, uint32_t maxLag)
{
    if (minLag >= maxLag)
        return 0;
    double best = 0.0;
    uint32_t bestLag = 0;
    double sums[LANES];
    for (uint32_t first = minLag; first < maxLag; first += LANES) {
        // Lags past the end of the array have no terms: their sums are 0.
        if (first >= n)
            break;
        correlatelags(x, n, first, sums);
        for (uint32_t k = 0; k < LANES && first + k < maxLag; ++k) {
            if (sums[k] > best) {
                best = sums[k];
                bestLag = first + k;
            }
        }
    }
    return bestLag;
}

uint32_t findPhase(const float* x, uint32_t n, uint32_t period)
{
    if (period == 0)
        return 0;
    const uint32_t k = n / period;
    double best = 0.0;
    uint32_t bestPhase = 0;
    for (uint32_t phase = 0; phase < period; ++phase) {
        double s = 0.0;
        for (uint32_t j = 0; j < k; ++j)
            s += double(x[phase + j * period]);
        if (s > best) {
            best = s;
            bestPhase = phase;
        }
    }
    return bestPhase;
}

double foldPeriod(double period, uint32_t hop, double sr)
{
    if (!(period > 0.0) || hop == 0 || !(sr > 0.0))
        return period;
    while (period * hop / sr < 0.6527139518645054)
        period = period + period;
    while (period * hop / sr > 1.305427903729011)
        period = period * 0.5;
    return period;
}

} // namespace ovra::tempix
