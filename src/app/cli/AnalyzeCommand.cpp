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

// A JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 become U+FFFD so that the line stays valid JSON.
std::string jsonstring(const std::string& text)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            ++i;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += char(c);
            ++i;
        } else {
            size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool valid = n != 0 && i + n <= text.size();
            for (size_t k = 1; valid && k < n; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (valid && n == 3) {
                const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
                valid = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
            } else if (valid && n == 4) {
                const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
                valid = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
            }
            if (valid) {
                out.append(text, i, n);
                i += n;
            } else {
                out += "\\ufffd";
                ++i;
            }
        }
    }
    return out + "\"";
}

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
        auto* analyzeOption = app.add_flag(option, chosen,
                                           "Analyse the files (PATH...) and print tempo, beat grid, times and "
                                           "volume; nothing is written");
        app.add_flag("--json", json, "With --analyze: one JSON object per file and line")->needs(analyzeOption);
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
        return allAnalysed ? 0 : 1;
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
