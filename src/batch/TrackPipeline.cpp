#include "batch/TrackPipeline.h"
#include "batch/DryRun.h"
#include "tags/VolumeScale.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace ovra::tempix {

namespace {

// The lowest sample rate of a stored analysis that is taken as it is.
constexpr uint32_t MIN_REUSABLE_SAMPLE_RATE = 11050;
// How far the tag's volume may lie from the one our record wrote (the RVA2
// frame keeps it to within 15) and the library's from ours (rounding), for
// the value to count as ours.
constexpr int64_t OWN_RVA_TOLERANCE = 15;
constexpr long OWN_LIBRARY_VOLUME_TOLERANCE = 2;

// A stored analysis that can stand for a fresh one. A beat period of 0 would
// divide by zero in the tempo formula, so such a record is analysed again.
bool reusable(const TrackDataRecord& r)
{
    const TrackAnalysis& a = r.analysis;
    return r.hasAnalysis() && a.sampleRate >= MIN_REUSABLE_SAMPLE_RATE &&
        double(a.frameCount) / double(a.sampleRate) >= MIN_TRACK_SECONDS && a.loudness != 0 && a.peakLevel != 0 &&
        a.startPeriod != 0 && a.endPeriod != 0 && a.beatPeriod != 0;
}

// "a", "a or b", "a, b or c".
std::string alternatives(const std::vector<std::string>& names)
{
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += i + 1 == names.size() ? " or " : ", ";
        out += names[i];
    }
    return out;
}

// The library step's entries in a dry run: it counts no error of its own.
class DryRunLog : public ITunesUpdateSink {
public:
    DryRunLog(BatchLog& log, TrackReport_auto& report) : log(log), report(report) {}
    void logText(const char* text) override { log.line("%s", text); }
    void countError() override {}
    void setStatus(const char* text) override { log.status(text); }
    void libraryUpToDate() override
    {
        ITunesUpdateSink::libraryUpToDate();
        report.setlibrary(LibraryOutcome::upToDate);
    }
    void libraryWouldUpdate() override { report.setlibrary(LibraryOutcome::wouldUpdate); }

private:
    BatchLog& log;
    TrackReport_auto& report;
};

} // namespace

std::optional<ITunesUpdateInput> TrackPipeline::run(TrackState& track, const BatchOptions& options,
                                                    ovra::Canceler& canceler, TrackReport_auto& report)
{
    track.library = library.values(track.trackId);
    report.setlibraryentry(track.library.name, track.library.artist);
    if (!reader.read(track, options, canceler))
        return std::nullopt;
    if (options.listOnly) {
        const bool reuse = track.hasRecord && reusable(track.record);
        report.setlisted(reuse, track.before);
        if (reuse) {
            // What a run would set, from the stored analysis: nothing is decoded.
            chooseValues(track, options);
            track.analysis = track.record.analysis;
            track.sampleRate = track.record.analysis.sampleRate;
            deriveValues(track, options);
            report.setvalues(track.analysis, track.sampleRate, track.before, track.values);
        }
        return std::nullopt;
    }
    if (!decideWrites(track, options) || !obtainAnalysis(track, options, canceler))
        return std::nullopt;
    deriveValues(track, options);
    report.setvalues(track.analysis, track.sampleRate, track.before, track.values);
    if (canceler.iscancelled() || !tagWriter.write(track, options))
        return std::nullopt;
    TagOutcome tagOutcome = TagOutcome::upToDate;
    if (track.tagChanged)
        tagOutcome = options.dryRun ? TagOutcome::wouldUpdate : TagOutcome::updated;
    report.settag(tagOutcome); // a track written keeps its row, cancelled or not
    if (canceler.iscancelled())
        return std::nullopt;
    ITunesUpdateInput update = TrackTagWriter::libraryUpdate(track, options);
    if (options.dryRun) {
        DryRunLog sink(log, report);
        describelibraryupdate(update, track, sink);
        return std::nullopt; // nothing for the library
    }
    return update;
}

bool TrackPipeline::decideWrites(TrackState& t, const BatchOptions& options)
{
    chooseValues(t, options);
    if (t.values.hasBpm || t.values.hasTimes || t.values.hasVolume || t.doReplayGain)
        return true;
    skipForOthers(t, options);
    return false;
}

void TrackPipeline::chooseValues(TrackState& t, const BatchOptions& options)
{
    // Values another program set are left alone unless our record vouches
    // for them or the overwrite option says so.
    const TrackDataRecord& r = t.record;
    t.values.hasBpm = options.detectbpm;
    t.values.hasTimes = options.optimizetimes;
    t.values.hasVolume = options.adjustvolume && !(t.volumeUnreadable && !options.overwritevolume);
    if (!options.overwritebpm && t.tagBpm != 0 && !(t.hasRecord && r.hasBPM() && int64_t(r.bpm) == t.tagBpm))
        t.values.hasBpm = false;
    if (t.trackId < 0)
        t.values.hasTimes = false;
    else if (!options.overwritetimes && (t.library.start != 0 || t.library.stop != 0) &&
             !(t.hasRecord && r.hasTimes() && int32_t(r.startMs) == t.library.start &&
               int32_t(r.stopMs) == t.library.stop))
        t.values.hasTimes = false;
    if (!options.overwritevolume) {
        bool ours = t.hasRecord && r.hasVolume();
        if (t.tagRva != 0 && !(ours && std::abs(int64_t(t.tagRva) - r.volume) <= OWN_RVA_TOLERANCE))
            t.values.hasVolume = false;
        if (t.library.volume != 0 &&
            !(ours &&
              std::abs(ovra::rvatolibraryvolume(r.volume) - long(t.library.volume)) <= OWN_LIBRARY_VOLUME_TOLERANCE))
            t.values.hasVolume = false;
    }
    // The track's ReplayGain is measured where it has none (or the album's
    // none), or where the volume may be overwritten.
    t.doReplayGain = options.replaygain != ReplayGainMode::off && t.replayGainReadable &&
        (options.overwritevolume || !t.replayGain.trackGain ||
         (options.replaygain == ReplayGainMode::album && !t.album.empty() && !t.replayGain.albumGain));
}

bool TrackPipeline::obtainAnalysis(TrackState& t, const BatchOptions& options, ovra::Canceler& canceler)
{
    const AnalysisOptions measure{t.doReplayGain, t.doReplayGain && options.truePeak};
    const bool reuse = t.hasRecord && !options.reprocess && reusable(t.record);
    if (reuse) {
        t.analysis = t.record.analysis;
        t.sampleRate = t.record.analysis.sampleRate;
        if (!measure.loudness)
            return true;
        // Decoded once more for the loudness alone; the stored analysis stands.
        log.line("Measuring the loudness for the ReplayGain tags (the stored analysis is reused).\n");
    }
    log.status(reuse ? "Measuring loudness" : "Analyzing track");
    AnalysisOutcome outcome;
    try {
        outcome = hooks.analyzeTrackAudio(t.path, canceler, measure);
    } catch (int code) {
        // A decoder failure is this track's, not the batch's.
        log.fail("Could not decode track: error code %d.\n", code);
        if (TrackReport_auto* report = BatchLog::track()) {
            AnalysisOutcome failure;
            failure.cause = AnalysisCause::decodeError;
            report->setanalysisfailure(failure);
        }
        log.errorwords(code);
        return false;
    }
    if (outcome.status == AnalysisStatus::cancelled)
        return false;
    if (outcome.status != AnalysisStatus::ok) {
        log.fail("%s", outcome.failure.c_str());
        if (TrackReport_auto* report = BatchLog::track())
            report->setanalysisfailure(outcome);

        return false;
    }
    t.loudness = outcome.measure;
    t.meter = outcome.meter;
    if (options.replaygain == ReplayGainMode::album && !t.album.empty())
        albums.note(t);
    if (reuse)
        return true;
    t.analysis = outcome.analysis;
    t.sampleRate = outcome.sampleRate;
    if (t.analysis.beatPeriod == 0 || !(t.sampleRate > 0.0)) {
        log.fail("No beat found in track.\n");

        return false;
    }
    return true;
}

void TrackPipeline::deriveValues(TrackState& t, const BatchOptions& options)
{
    t.values.bpm = t.values.hasBpm ? computeBPM(t.analysis.beatPeriod, t.sampleRate) : 0;
    t.values.times = t.values.hasTimes ? computeTimes(t.analysis, t.sampleRate, options.lessintro) : TrackTimes();
    t.values.volume =
        t.values.hasVolume ? computeVolume(t.analysis.loudness, t.analysis.peakLevel) : VolumeAdjustment();
}

// Says which options would set what was asked for.
void TrackPipeline::skipForOthers(const TrackState& t, const BatchOptions& options)
{
    const auto& names = settings.overwriteOptionNames;
    if (names[0].empty()) {
        log.skip("Data set by another application (check appropriate checkbox(es) to overwrite).\n");
        return;
    }
    // The options that would set what was asked for.
    std::vector<std::string> useful;
    if (options.detectbpm)
        useful.push_back(names[0]);
    if (options.optimizetimes && t.trackId >= 0)
        useful.push_back(names[1]);
    if (options.adjustvolume)
        useful.push_back(names[2]);
    if (useful.empty())
        useful.assign(names.begin(), names.end());
    log.skip("Data set by another application (use %s to overwrite).\n", alternatives(useful).c_str());
}

} // namespace ovra::tempix
