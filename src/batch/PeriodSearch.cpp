// The autocorrelation and phase searches of the tempo analysis.
#include "batch/TrackAnalysis.h"

#include <cstring>

#include <immintrin.h>

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

constexpr uint32_t LANES = 32;

// The sums of LANES neighbouring lags over the terms i < common, where every
// lag has its partner. Each lane is its own accumulator that adds the same
// single-precision products, widened to double, in the same order as the
// sequential search: the sums are the same to the last bit, only many lags
// advance together.
__attribute__((target("avx2"))) void commonterms_avx2(const float* x, uint32_t common, uint32_t firstLag,
                                                      double* sums)
{
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    const float* partner = x + firstLag;
    for (uint32_t i = 0; i < common; ++i) {
        const __m128 xi = _mm_broadcast_ss(x + i);
        const float* q = partner + i;
        a0 = _mm256_add_pd(a0, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q))));
        a1 = _mm256_add_pd(a1, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 4))));
        a2 = _mm256_add_pd(a2, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 8))));
        a3 = _mm256_add_pd(a3, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 12))));
        a4 = _mm256_add_pd(a4, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 16))));
        a5 = _mm256_add_pd(a5, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 20))));
        a6 = _mm256_add_pd(a6, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 24))));
        a7 = _mm256_add_pd(a7, _mm256_cvtps_pd(_mm_mul_ps(xi, _mm_loadu_ps(q + 28))));
    }
    _mm256_storeu_pd(sums, a0);
    _mm256_storeu_pd(sums + 4, a1);
    _mm256_storeu_pd(sums + 8, a2);
    _mm256_storeu_pd(sums + 12, a3);
    _mm256_storeu_pd(sums + 16, a4);
    _mm256_storeu_pd(sums + 20, a5);
    _mm256_storeu_pd(sums + 24, a6);
    _mm256_storeu_pd(sums + 28, a7);
}

// The same with the instructions every x86-64 has: two lanes per register.
void commonterms_sse2(const float* x, uint32_t common, uint32_t firstLag, double* sums)
{
    for (uint32_t half = 0; half < LANES; half += 16) {
        __m128d a[8];
        for (__m128d& v : a)
            v = _mm_setzero_pd();
        const float* partner = x + firstLag + half;
        for (uint32_t i = 0; i < common; ++i) {
            const __m128 xi = _mm_set1_ps(x[i]);
            const float* q = partner + i;
            for (int k = 0; k < 4; ++k) {
                const __m128 p = _mm_mul_ps(xi, _mm_loadu_ps(q + 4 * k));
                a[2 * k] = _mm_add_pd(a[2 * k], _mm_cvtps_pd(p));
                a[2 * k + 1] = _mm_add_pd(a[2 * k + 1], _mm_cvtps_pd(_mm_movehl_ps(p, p)));
            }
        }
        for (int k = 0; k < 8; ++k)
            _mm_storeu_pd(sums + half + 2 * k, a[k]);
    }
}

const bool haveAvx2 = __builtin_cpu_supports("avx2");

void correlatelags(const float* x, uint32_t n, uint32_t firstLag, double* sums)
{
    const uint32_t lastLag = firstLag + LANES - 1;
    const uint32_t common = n > lastLag ? n - lastLag : 0;
    if (haveAvx2)
        commonterms_avx2(x, common, firstLag, sums);
    else
        commonterms_sse2(x, common, firstLag, sums);
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
