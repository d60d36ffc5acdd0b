// The lane variants of the period search on one ten-second window of noise:
// the time of every lag summed by each variant this processor runs.
//     tempix-bench-period [REPEATS]
#include "batch/TrackAnalysis.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    // 44100 Hz: 10023 blocks of 44 samples, lags 300 to 3005.
    std::vector<float> x(10023);
    uint32_t state = 12345;
    for (float& v : x) {
        state = state * 1664525u + 1013904223u;
        v = float(int32_t(state >> 8) - (1 << 23)) / float(1 << 23);
    }
    for (const std::string& variant : ovra::tempix::periodSearchVariants()) {
        double best = 1e9;
        uint32_t lag = 0;
        for (int r = 0; r < repeats; ++r) {
            auto t0 = std::chrono::steady_clock::now();
            lag = *ovra::tempix::findPeriodEveryLag(variant, x.data(), uint32_t(x.size()), 300, 3006);
            std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
            best = std::min(best, d.count());
        }
        std::printf("%-9s %8.2f ms per window (lag %u)\n", variant.c_str(), best * 1000.0, lag);
    }
    double best = 1e9;
    uint32_t lag = 0;
    for (int r = 0; r < repeats; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        lag = ovra::tempix::findPeriod(x.data(), uint32_t(x.size()), 300, 3006);
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    std::printf("%-9s %8.2f ms per window (lag %u, transform and exact sums)\n", "findPeriod", best * 1000.0, lag);
    return 0;
}
