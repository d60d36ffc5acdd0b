// tempix-cli --dump FILE...: each file's tag as the tag layer reads it, then
// the stored data record field by field. Nothing is written.
#include "app/cli/CliCommand.h"
#include "batch/TrackDataRecord.h"
#include "tags/Tag.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ovra::tempix::cli {

namespace {

void dumprecord(ovra::Tag& tag, FILE* out)
{
    uint8_t bytes[TrackDataRecord::SIZE] = {};
    try {
        tag.getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, bytes, sizeof bytes);
    } catch (int code) {
        if (code == ovra::TAG_ERR_NOT_FOUND)
            std::fputs("TrackDataRecord: none\n", out);
        else
            std::fprintf(out, "TrackDataRecord: err=%lu (%s)\n", (unsigned long)code, ovra::errorText(code).c_str());
        return;
    }
    TrackDataRecord record;
    if (!TrackDataRecord::decode(bytes, record)) {
        std::fputs("TrackDataRecord: not valid; bytes:", out);
        for (size_t i = 0; i < sizeof bytes; ++i)
            std::fprintf(out, "%s%02X", i % 16 == 0 ? "\n  " : " ", bytes[i]);
        std::fputs("\n", out);
        return;
    }
    const TrackAnalysis& a = record.analysis;
    std::fputs("TrackDataRecord:\n", out);
    std::fprintf(out, "  Flags: 0x%08X%s%s%s%s\n", (unsigned)record.flags, record.hasAnalysis() ? " analysis" : "",
                 record.hasBPM() ? " bpm" : "", record.hasTimes() ? " times" : "", record.hasVolume() ? " volume" : "");
    struct Row {
        const char* label;
        uint32_t value;
        const char* unit;
    };
    const Row rows[] = {{"Sample rate", a.sampleRate, ""},
                        {"Frame count", a.frameCount, ""},
                        {"Loudness", a.loudness, ""},
                        {"Peak level", a.peakLevel, ""},
                        {"Beat period", a.beatPeriod, ""},
                        {"Start period", a.startPeriod, ""},
                        {"End period", a.endPeriod, ""},
                        {"First beat", a.firstBeat, ""},
                        {"Last beat", a.lastBeat, ""},
                        {"BPM written", record.bpm, ""},
                        {"Start time written", record.startMs, " ms"},
                        {"Stop time written", record.stopMs, " ms"}};
    for (const Row& row : rows)
        std::fprintf(out, "  %s: %u%s\n", row.label, (unsigned)row.value, row.unit);
    std::fprintf(out, "  Volume written: %+d\n", (int)record.volume);
}

class DumpCommand : public FilesCommand {
public:
    explicit DumpCommand(const CliPaths& paths) : FilesCommand(paths, "--dump") {}

    void addOptions(CLI::App& app) override
    {
        app.add_flag(option, chosen,
                     "Print the tag and the stored analysis record of each file (PATH...); "
                     "changes nothing");
    }

    int runfiles() override
    {
        int status = EXIT_DONE;
        bool first = true;
        for (const std::string& path : files) {
            if (!first)
                std::fputs("\n", stdout);
            first = false;
            std::fprintf(stdout, "File: %s\n", path.c_str());
            std::unique_ptr<ovra::Tag> tag;
            try {
                tag = ovra::openTag(path.c_str(), true);
                tag->dump(stdout);
                dumprecord(*tag, stdout);
                tag->close();
            } catch (int code) {
                std::fflush(stdout);
                std::fprintf(stderr, "%s: could not read the tag: error code %d\n", path.c_str(), code);
                status = EXIT_ERRORS;
            }
        }
        std::fflush(stdout);
        return status;
    }
};

} // namespace

std::unique_ptr<CliCommand> makeDumpCommand(const CliPaths& paths) { return std::make_unique<DumpCommand>(paths); }

} // namespace ovra::tempix::cli
