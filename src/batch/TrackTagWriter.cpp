#include "batch/TrackTagWriter.h"
#include "batch/DryRun.h"
#include "batch/ReplayGainStep.h"
#include "tags/FileTransaction.h"
#include "tags/VolumeScale.h"
#include "tags/WriteJournal.h"

#include <cstdlib>
#include <cstring>

namespace ovra::tempix {

namespace {

// A volume that differs from the tag's by less than this is not rewritten.
constexpr int64_t RVA_REWRITE_STEP = 257;

// The record to store: the analysis and what this run set. A result this run
// does not derive keeps what the stored record says of it: a run with fewer
// options must not disown the others. (One the run looked at and found
// another program's is dropped.)
TrackDataRecord newRecord(const TrackState& t, const BatchOptions& options)
{
    TrackDataRecord fresh;
    fresh.flags = TrackDataRecord::FLAG_ANALYSIS;
    fresh.analysis = t.analysis;
    const bool keepBpm = t.hasRecord && !options.detectbpm && t.record.hasBPM();
    const bool keepTimes = t.hasRecord && (!options.optimizetimes || t.trackId < 0) && t.record.hasTimes();
    const bool keepVolume = t.hasRecord && !options.adjustvolume && t.record.hasVolume();
    if (t.values.hasBpm || keepBpm) {
        fresh.flags |= TrackDataRecord::FLAG_BPM;
        fresh.bpm = t.values.hasBpm ? uint32_t(t.values.bpm) : t.record.bpm;
    }
    if (t.values.hasTimes || keepTimes) {
        fresh.flags |= TrackDataRecord::FLAG_TIMES;
        fresh.startMs = t.values.hasTimes ? uint32_t(t.values.times.startMs) : t.record.startMs;
        fresh.stopMs = t.values.hasTimes ? uint32_t(t.values.times.stopMs) : t.record.stopMs;
    }
    if (t.values.hasVolume || keepVolume) {
        fresh.flags |= TrackDataRecord::FLAG_VOLUME;
        fresh.volume = t.values.hasVolume ? t.values.volume.value : t.record.volume;
    }
    return fresh;
}

} // namespace

void TrackTagWriter::stageValues(TrackState& t, const BatchOptions& options)
{
    ovra::Tag& tag = *t.tag;
    if (t.values.hasBpm) {
        if (t.values.bpm != t.tagBpm) {
            try {
                tag.setBPM(t.values.bpm);
                t.tagChanged = t.bpmStaged = true;
            } catch (int code) {
                if (code != ovra::TAG_ERR_UNSUPPORTED) {
                    log.fail("Could not set BPM (%d) in tag: error code %ld.\n", t.values.bpm, long(code));
                    log.errorwords(code);
                }
            }
        }
        t.libraryChanged = t.values.bpm != t.library.bpm;
    }
    if (t.values.hasVolume && std::abs(int64_t(t.values.volume.value) - t.tagRva) >= RVA_REWRITE_STEP) {
        t.libraryChanged = true;
        try {
            tag.setRVA(t.values.volume.value);
            t.tagChanged = t.rvaStaged = true;
        } catch (int code) {
            if (code != ovra::TAG_ERR_UNSUPPORTED) {
                log.fail("Could not set RVA (%+d%%) in tag: error code %ld.\n", t.values.volume.percent, long(code));
                log.errorwords(code);
            }
        }
    }

    stagereplaygain(t, options, log);

    uint8_t encoded[TrackDataRecord::SIZE];
    newRecord(t, options).encode(encoded);
    if (!t.hasRecord || std::memcmp(encoded, t.stored, sizeof encoded) != 0) {
        try {
            tag.setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, encoded, sizeof encoded);
            t.tagChanged = t.recordStaged = true;
        } catch (...) {
            // A tag that cannot hold the record still takes the rest; the
            // track is then analysed again next time.
        }
    }
    t.tagKind = tag.kind();
}

bool TrackTagWriter::write(TrackState& t, const BatchOptions& options)
{
    log.status("Updating track metadata");
    stageValues(t, options);
    if (options.dryRun) {
        // Staged only: a tag let go without close() leaves its file as it was.
        t.tag.reset();
        log.line("%s", dryruntagentry(t).c_str());
        return true;
    }
    try {
        t.tag->close();
    } catch (int code) {
        writeFailed(code);
        return false;
    }
    log.line(t.tagChanged ? "Track updated.\n" : "Track is up-to-date.\n");
    return true;
}

// The file could not be written (read-only, gone, full disk) or was refused
// to keep it whole: it is as it was, this track failed, the batch goes on.
void TrackTagWriter::writeFailed(int code)
{
    if (const char* why = ovra::tagwriterefusal(code))
        log.fail("Could not write tag to file: %s (error code %d).\n", why, code);
    else if (code == ovra::FILE_ERR_JOURNAL)
        log.fail("Could not write tag to file: %s (error code %d).\n", ovra::journalproblem().c_str(), code);
    else
        log.fail("Could not write tag to file: error code %d.\n", code);
    if (!ovra::tagwriterefusal(code) && code != ovra::FILE_ERR_JOURNAL)
        log.errorwords(code);
    log.halfwritten();
}

ITunesUpdateInput TrackTagWriter::libraryUpdate(const TrackState& t, const BatchOptions& options)
{
    ITunesUpdateInput update;
    update.exportToLibrary = options.exportToLibrary;
    update.trackId = t.trackId;
    update.persistentId = t.library.persistentId;
    update.values = t.values;
    update.libraryStart = t.library.start;
    update.libraryStop = t.library.stop;
    update.libraryVolumeAdjustment = t.library.volume;
    update.tagKind = t.tagKind;
    update.iTunesChanged = t.libraryChanged;
    return update;
}

} // namespace ovra::tempix
