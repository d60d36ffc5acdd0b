#include "batch/DryRun.h"
#include "tags/VolumeScale.h"

#include <cmath>
#include <cstdio>

namespace ovra::tempix {

const char* const DRY_RUN_STARTED = "Dry run: nothing is written; the lines \"Would update\" say what a run would "
                                    "change.\n";

namespace {

void change(std::string& out, const char* name, long long from, long long to)
{
    char text[128];
    std::snprintf(text, sizeof text, "%s%s %lld -> %lld", out.empty() ? "" : ", ", name, from, to);
    out += text;
}

} // namespace

std::string dryruntagentry(const TrackState& t)
{
    if (!t.tagChanged)
        return "Track is up-to-date.\n";
    std::string changes;
    if (t.bpmStaged)
        change(changes, "BPM", t.tagBpm, t.values.bpm);
    if (t.rvaStaged) {
        char text[96];
        std::snprintf(text, sizeof text, "%svolume %+d%% -> %+d%%", changes.empty() ? "" : ", ",
                      ovra::rvatopercent(t.tagRva), t.values.volume.percent);
        changes += text;
    }
    if (t.replayGainStaged) {
        const ovra::ReplayGain& now = t.replayGain;
        const ovra::ReplayGain& next = t.replayGainWritten;
        auto text = [](const std::optional<double>& v, bool peak) {
            return v ? (peak ? ovra::replaygainpeaktext(*v) : ovra::replaygaintext(*v)) : std::string("none");
        };
        if (next.trackGain)
            changes += std::string(changes.empty() ? "" : ", ") + "ReplayGain " + text(now.trackGain, false) + " -> " +
                text(next.trackGain, false) + ", peak " + text(now.trackPeak, true) + " -> " +
                text(next.trackPeak, true);
    }
    if (t.recordStaged)
        changes += std::string(changes.empty() ? "" : ", ") +
            (t.hasRecord ? "analysis record replaced" : "analysis record added");
    return "Would update track: " + changes + ".\n";
}

void describelibraryupdate(const ITunesUpdateInput& input, const TrackState& t, ITunesUpdateSink& sink)
{
    const ITunesUpdateInput& in = input;
    if (!libraryupdatedue(in, sink))
        return;
    // What the entry holds after the refresh and the script (0: absent).
    const int tagBpm = t.bpmStaged ? t.values.bpm : t.tagBpm;
    long long bpm = tagBpm > 0 ? tagBpm : t.library.bpm;
    long long volume = t.library.volume;
    if (t.rvaReadable || t.rvaStaged) // a volume staged now is there for the refresh
        volume = ovra::rvatolibraryvolume(t.rvaStaged ? t.values.volume.value : t.tagRva);
    if (in.values.hasVolume && ovra::volumeinlibrary(in.tagKind))
        volume = ovra::percenttolibraryvolume(in.values.volume.percent);
    long long start = in.values.hasTimes ? in.values.times.startMs : t.library.start;
    long long stop = in.values.hasTimes ? in.values.times.stopMs : t.library.stop;

    std::string changes;
    if (bpm != t.library.bpm)
        change(changes, "BPM", t.library.bpm, bpm);
    if (start != t.library.start)
        change(changes, "Start Time", t.library.start, start);
    if (stop != t.library.stop)
        change(changes, "Stop Time", t.library.stop, stop);
    if (volume != t.library.volume)
        change(changes, "Volume Adjustment", t.library.volume, volume);
    if (changes.empty())
        changes = "the track would be refreshed from its file, no value changes";
    sink.logLine("Would update iTunes: %s.\n", changes.c_str());
    sink.libraryWouldUpdate();
}

} // namespace ovra::tempix
