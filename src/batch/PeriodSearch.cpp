// The autocorrelation and phase searches of the tempo analysis.
#include "batch/TrackAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fftw3.h>

// The x86 vector versions only where asked for and where the compiler targets x86.
#if TEMPIX_X86_PATHS && (defined(__x86_64__) || defined(__i386__))
#define X86_LANES 1
#include <immintrin.h>
#else
#define X86_LANES 0
#endif

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
// advance together. This is the version for any processor; the compiler gives
// it whatever vector unit the target has (on x86-64 it is quicker than SSE2
// written by hand), as no lane's order changes.
void commonterms_portable(const float* x, uint32_t common, uint32_t firstLag, double* sums)
{
    double a[LANES] = {};
    const float* partner = x + firstLag;
    for (uint32_t i = 0; i < common; ++i) {
        const float xi = x[i];
        const float* q = partner + i;
        for (uint32_t k = 0; k < LANES; ++k) {
            const float product = xi * q[k];
            a[k] += double(product);
        }
    }
    std::copy(a, a + LANES, sums);
}

#if X86_LANES

// The same with AVX2: eight registers of four lanes.
__attribute__((target("avx2"))) void commonterms_avx2(const float* x, uint32_t common, uint32_t firstLag, double* sums)
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

#endif

struct CommonTerms {
    void (*terms)(const float*, uint32_t, uint32_t, double*);
    const char* name;
};

// The variants this processor runs, the fastest first.
std::vector<CommonTerms> findvariants()
{
    std::vector<CommonTerms> variants;
#if X86_LANES
    if (__builtin_cpu_supports("avx2"))
        variants.push_back({commonterms_avx2, "avx2"});
#endif
    variants.push_back({commonterms_portable, "portable"});
    return variants;
}

// Found once, on first use.
const std::vector<CommonTerms>& variants()
{
    static const std::vector<CommonTerms> found = findvariants();
    return found;
}

void correlatelags(const CommonTerms& lanes, const float* x, uint32_t n, uint32_t firstLag, double* sums)
{
    const uint32_t lastLag = firstLag + LANES - 1;
    const uint32_t common = n > lastLag ? n - lastLag : 0;
    lanes.terms(x, common, firstLag, sums);
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

// Every lag, LANES at a time.
uint32_t searchalllags(const CommonTerms& lanes, const float* x, uint32_t n, uint32_t minLag, uint32_t maxLag)
{
    double best = 0.0;
    uint32_t bestLag = 0;
    double sums[LANES];
    for (uint32_t first = minLag; first < maxLag; first += LANES) {
        // Lags past the end of the array have no terms: their sums are 0.
        if (first >= n)
            break;
        correlatelags(lanes, x, n, first, sums);
        for (uint32_t k = 0; k < LANES && first + k < maxLag; ++k) {
            if (sums[k] > best) {
                best = sums[k];
                bestLag = first + k;
            }
        }
    }
    return bestLag;
}

double exactsum(const float* x, uint32_t n, uint32_t lag)
{
    double s = 0.0;
    for (uint32_t i = 0; lag < n && i < n - lag; ++i) {
        float product = x[i] * x[i + lag];
        s += double(product);
    }
    return s;
}

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};

// FFTW's planner is not reentrant; its plans may run on any thread.
std::mutex plannerMutex;

// Transforms of one size, kept by each thread for the windows that follow.
class Correlator {
public:
    ~Correlator() { release(); }

    // The autocorrelation of x at every lag below n, computed in double
    // precision through the transform; nullptr when it cannot be had.
    const double* correlate(const float* x, uint32_t n, uint32_t lagLimit)
    {
        size_t size = 1;
        while (size < size_t(n) + lagLimit)
            size *= 2;
        if (size != length && !prepare(size))
            return nullptr;
        for (uint32_t i = 0; i < n; ++i)
            signal.get()[i] = double(x[i]);
        std::fill(signal.get() + n, signal.get() + size, 0.0);
        fftw_execute(forward);
        fftw_complex* s = spectrum.get();
        for (size_t k = 0; k <= size / 2; ++k) {
            s[k][0] = s[k][0] * s[k][0] + s[k][1] * s[k][1];
            s[k][1] = 0.0;
        }
        fftw_execute(backward); // the result is size times the correlation
        return signal.get();
    }
    size_t size() const { return length; }
    // Gives back the memory of an unusually long window (a whole long track).
    void trim()
    {
        if (length > (size_t(1) << 15)) {
            release();
            signal.reset();
            spectrum.reset();
        }
    }

private:
    bool prepare(size_t size)
    {
        release();
        signal.reset(fftw_alloc_real(size));
        spectrum.reset(fftw_alloc_complex(size / 2 + 1));
        if (!signal || !spectrum)
            return false;
        std::lock_guard<std::mutex> lock(plannerMutex);
        forward = fftw_plan_dft_r2c_1d(int(size), signal.get(), spectrum.get(), FFTW_ESTIMATE);
        backward = fftw_plan_dft_c2r_1d(int(size), spectrum.get(), signal.get(), FFTW_ESTIMATE);
        if (!forward || !backward) {
            releaseplans();
            return false;
        }
        length = size;
        return true;
    }
    void releaseplans()
    {
        if (forward)
            fftw_destroy_plan(forward);
        if (backward)
            fftw_destroy_plan(backward);
        forward = backward = nullptr;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(plannerMutex);
        releaseplans();
        length = 0;
    }

    std::unique_ptr<double, FftwFree> signal;
    std::unique_ptr<fftw_complex, FftwFree> spectrum;
    fftw_plan forward = nullptr;
    fftw_plan backward = nullptr;
    size_t length = 0;
};

// Below this many products the lanes are quicker than the transform.
constexpr uint64_t TRANSFORM_FROM = 2000000;
// More close candidates than this (a signal that repeats exactly): all lags.
constexpr size_t MOST_CANDIDATES = 64;

} // namespace

// The transform gives every lag's correlation to within a bound B of the sum
// the method prescribes (single-precision products added in double): the
// products are off by at most 2^-24 of their size, the sums by n * 2^-53, the
// transform by about size * log2(size) * 2^-53, all relative to the energy E.
// A lag whose estimate lies more than 2B below the best estimate has a smaller
// sum than the lag of that estimate, so it cannot be chosen; the few lags left
// are summed exactly, in the prescribed order, and the rule picks among them.
uint32_t findPeriod(const float* x, uint32_t n, uint32_t minLag, uint32_t maxLag)
{
    const CommonTerms& lanes = variants().front();
    if (minLag >= maxLag)
        return 0;
    const uint32_t lagLimit = std::min(maxLag, n); // longer lags have no terms
    if (minLag >= lagLimit)
        return 0;
    if (uint64_t(lagLimit - minLag) * n < TRANSFORM_FROM)
        return searchalllags(lanes, x, n, minLag, maxLag);

    double energy = 0.0;
    for (uint32_t i = 0; i < n; ++i)
        energy += double(x[i]) * double(x[i]);
    if (energy == 0.0)
        return 0; // every product is 0
    if (!std::isfinite(energy))
        return searchalllags(lanes, x, n, minLag, maxLag);

    thread_local Correlator correlator;
    const double* r = correlator.correlate(x, n, lagLimit);
    if (!r)
        return searchalllags(lanes, x, n, minLag, maxLag);
    const double size = double(correlator.size());
    const double u = std::ldexp(1.0, -53);
    const double bound =
        2.0 * ((std::ldexp(1.0, -24) + n * u + size * std::log2(size) * u) * energy + n * std::ldexp(1.0, -149));

    double top = -HUGE_VAL;
    for (uint32_t lag = minLag; lag < lagLimit; ++lag)
        top = std::max(top, r[lag] / size);
    if (top + bound <= 0.0) {
        correlator.trim();
        return 0; // no sum can be positive
    }
    std::vector<uint32_t> candidates;
    for (uint32_t lag = minLag; lag < lagLimit && candidates.size() <= MOST_CANDIDATES; ++lag) {
        if (r[lag] / size >= top - 2.0 * bound)
            candidates.push_back(lag);
    }
    correlator.trim();
    if (candidates.size() > MOST_CANDIDATES)
        return searchalllags(lanes, x, n, minLag, maxLag);
    double best = 0.0;
    uint32_t bestLag = 0;
    for (uint32_t lag : candidates) {
        const double s = exactsum(x, n, lag);
        if (s > best) {
            best = s;
            bestLag = lag;
        }
    }
    return bestLag;
}

std::vector<std::string> periodSearchVariants()
{
    std::vector<std::string> names;
    for (const CommonTerms& v : variants())
        names.push_back(v.name);
    return names;
}

std::optional<uint32_t> findPeriodEveryLag(const std::string& variant, const float* x, uint32_t n, uint32_t minLag,
                                           uint32_t maxLag)
{
    for (const CommonTerms& v : variants()) {
        if (variant == v.name)
            return searchalllags(v, x, n, minLag, maxLag);
    }
    return std::nullopt;
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
