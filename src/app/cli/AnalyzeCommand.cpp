// tempix-cli --analyze FILE... [--json]: analyses files and writes nothing.
#include "app/cli/CliCommand.h"
#include "audio/Movies_auto.h"
#include "batch/TrackAnalysis.h"
#include "platform/Threads.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace ovra::tempix::cli {

namespace {

std::string withoutlinefeed(std::string line)
{
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

class AnalyzeCommand : public FilesCommand {
public:
    explicit AnalyzeCommand(const CliPaths& paths) : FilesCommand(paths, "--analyze") {}

    void addOptions(CLI::App& app) override
    {
        app.add_flag(option, chosen,
                     "Analyse the files (PATH...) and print tempo, beat grid, times and volume; nothing is written");
        app.add_flag("--json", json,
                     "One JSON object a line on standard output: per file (--analyze), or per track and then a "
                     "summary (a batch, whose log then goes to the log file only)");
    }

    int runfiles() override
    {
        Movies_auto decoding;
        Canceler_normal canceler;
        bool allAnalysed = true;
        for (const std::string& path : files) {
            AnalysisOutcome outcome = analyzeTrack(path.c_str(), canceler);
            if (outcome.status != AnalysisStatus::ok) {
                allAnalysed = false;
                const std::string error = withoutlinefeed(outcome.failure);
                if (json)
                    std::printf("{\"path\":%s,\"error\":%s}\n", jsonstring(path).c_str(), jsonstring(error).c_str());
                else
                    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            } else {
                print(path, outcome);
            }
            std::fflush(stdout);
        }
        return allAnalysed ? EXIT_DONE : EXIT_ERRORS;
    }

private:
    void print(const std::string& path, const AnalysisOutcome& outcome) const
    {
        const TrackAnalysis& a = outcome.analysis;
        const double sr = outcome.sampleRate;
        const int bpm = computeBPM(a.beatPeriod, sr);
        const TrackTimes times = computeTimes(a, sr, false);
        const TrackTimes less = computeTimes(a, sr, true);
        const VolumeAdjustment volume = computeVolume(a.loudness, a.peakLevel);
        if (json) {
            std::printf("{\"path\":%s,\"sample_rate\":%u,\"frame_count\":%u,\"loudness\":%u,\"peak_level\":%u,"
                        "\"beat_period\":%u,\"start_period\":%u,\"end_period\":%u,\"first_beat\":%u,"
                        "\"last_beat\":%u,\"bpm\":%d,\"start_ms\":%d,\"stop_ms\":%d,"
                        "\"less_intro_start_ms\":%d,\"less_intro_stop_ms\":%d,\"volume\":%d,"
                        "\"volume_percent\":%d,\"library_volume\":%d}\n",
                        jsonstring(path).c_str(), a.sampleRate, a.frameCount, a.loudness, a.peakLevel, a.beatPeriod,
                        a.startPeriod, a.endPeriod, a.firstBeat, a.lastBeat, bpm, times.startMs, times.stopMs,
                        less.startMs, less.stopMs, volume.value, volume.percent, volume.libraryVolume);
            return;
        }
        std::printf("%s\n"
                    "  tempo           %d BPM\n"
                    "  sample rate     %u Hz, %u frames (%.3f s)\n"
                    "  loudness        %u\n"
                    "  peak level      %u\n"
                    "  beat period     %u samples\n"
                    "  start period    %u samples\n"
                    "  end period      %u samples\n"
                    "  first beat      sample %u\n"
                    "  last beat       sample %u\n"
                    "  times           start %.3f s, stop %.3f s\n"
                    "  less intro      start %.3f s, stop %.3f s\n"
                    "  volume          %d (%d %%), library volume %d\n",
                    path.c_str(), bpm, a.sampleRate, a.frameCount, a.frameCount / sr, a.loudness, a.peakLevel,
                    a.beatPeriod, a.startPeriod, a.endPeriod, a.firstBeat, a.lastBeat, times.startMs / 1000.0,
                    times.stopMs / 1000.0, less.startMs / 1000.0, less.stopMs / 1000.0, volume.value, volume.percent,
                    volume.libraryVolume);
    }

    bool json = false;
};

} // namespace

std::unique_ptr<CliCommand> makeAnalyzeCommand(const CliPaths& paths)
{
    return std::make_unique<AnalyzeCommand>(paths);
}

} // namespace ovra::tempix::cli
