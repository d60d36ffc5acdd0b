// What the loudness measure adds to the analysis: the same files analysed
// without it, with the sample peak, and with the true peak, each a few
// times, and the process CPU time of each.
//     tempix-bench-loudness [--rounds N] FILE...
// Compare with a separate tool on the same files, e.g.
//     /usr/bin/time -f %U+%S loudgain -q -a -s s FILE...
#include "audio/Movies_auto.h"
#include "batch/TrackAnalysis.h"
#include "platform/Threads.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {
double cpuseconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
} // namespace

int main(int argc, char** argv)
{
    using namespace ovra;
    using namespace ovra::tempix;
    int rounds = 3;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else
            files.push_back(argv[i]);
    }
    if (files.empty() || rounds < 1) {
        std::fprintf(stderr, "usage: tempix-bench-loudness [--rounds N] FILE...\n");
        return 2;
    }
    Movies_auto decoder;
    struct Mode {
        const char* name;
        bool measure;
        AnalysisOptions options;
    } const modes[] = {{"analysis only", false, {}},
                       {"with loudness and sample peak", true, {true, false}},
                       {"with loudness and true peak", true, {true, true}}};
    double base = 0.0;
    for (const Mode& mode : modes) {
        int measured = 0;
        const double start = cpuseconds();
        for (int r = 0; r < rounds; ++r) {
            for (const char* file : files) {
                Canceler_normal canceler;
                const AnalysisOutcome out =
                    mode.measure ? analyzeTrack(file, canceler, mode.options) : analyzeTrack(file, canceler);
                measured += out.measure.measured ? 1 : 0;
            }
        }
        const double cpu = (cpuseconds() - start) / rounds;
        if (base == 0.0)
            base = cpu;
        std::printf("%-32s %8.3f s CPU per round of %zu files (%+.0f%%), %d measured\n", mode.name, cpu, files.size(),
                    (cpu / base - 1.0) * 100.0, measured / rounds);
    }
    return 0;
}
