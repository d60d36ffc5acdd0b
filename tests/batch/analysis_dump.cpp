// Prints the analysis of each file and the values derived from it, one line per
// file, so that two builds can be compared byte for byte.
//     analysis_dump FILE...
#include "audio/Movies_auto.h"
#include "batch/TrackAnalysis.h"
#include "platform/Threads.h"

#include <cstdio>
#include <string>

using namespace ovra::tempix;

int main(int argc, char** argv)
{
    ovra::Movies_auto decoding;
    for (int i = 1; i < argc; ++i) {
        ovra::Canceler_normal canceler;
        const AnalysisOutcome outcome = analyzeTrack(argv[i], canceler);
        if (outcome.status != AnalysisStatus::ok) {
            std::string line = outcome.failure;
            while (!line.empty() && line.back() == '\n')
                line.pop_back();
            for (char& c : line) // a failure and its cause on one line
                if (c == '\n')
                    c = ' ';
            std::printf("%s\tfailed\t%s\n", argv[i], line.c_str());
            continue;
        }
        const TrackAnalysis& a = outcome.analysis;
        const double sr = outcome.sampleRate;
        const TrackTimes times = computeTimes(a, sr, false);
        const TrackTimes less = computeTimes(a, sr, true);
        const VolumeAdjustment volume = computeVolume(a.loudness, a.peakLevel);
        std::printf("%s\tok\t%a\t%u %u %u %u %u %u %u %u %u\tbpm %d\ttimes %d %d %d %d\tvolume %d %d %d\n", argv[i], sr,
                    a.sampleRate, a.frameCount, a.loudness, a.peakLevel, a.beatPeriod, a.startPeriod, a.endPeriod,
                    a.firstBeat, a.lastBeat, computeBPM(a.beatPeriod, sr), times.startMs, times.stopMs, less.startMs,
                    less.stopMs, volume.value, volume.percent, volume.libraryVolume);
    }
    return 0;
}
