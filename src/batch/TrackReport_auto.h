// Gathers what becomes of one track while the pipeline runs it, and hands
// the result to the display on every way out of the track; a track that the
// batch's cancel stopped before its tag step ended gives no row.
// With several jobs it is made where the track runs and ends where the track
// is committed, in the batch's order.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/TrackResult.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace ovra {
class Canceler;
} // namespace ovra

namespace ovra::tempix {

class TrackReport_auto {
public:
    // rows, when given, counts the rows handed to the display.
    TrackReport_auto(BatchDisplay& display, const char* path, int32_t trackId, ovra::Canceler& canceler,
                     std::atomic<int>* rows = nullptr);
    ~TrackReport_auto();
    TrackReport_auto(const TrackReport_auto&) = delete;
    TrackReport_auto& operator=(const TrackReport_auto&) = delete;

    // One log entry written while the track runs.
    void addentry(const char* text);
    // Where the batch counts the track's errors (ErrorCount::Track_auto).
    int& errorcounter() { return result.errors; }
    // Why the track failed (its first error line) or was passed over.
    void setreason(const char* text);
    // The words of the reason's error code, once: "... error code 13 (Permission denied)".
    void addwords(const char* words);
    // What the tag step and the library's part did.
    void settag(TagOutcome outcome) { result.tag = outcome; }
    void setlibrary(LibraryOutcome outcome) { result.library = outcome; }
    // The analysis the track's values come from, what it held and the values derived.
    void setvalues(const TrackAnalysis& analysis, double sampleRate, const TrackValues& before,
                   const TrackValues& after);
    // A listing's row: what the track holds now.
    void setlisted(bool hasRecord, const TrackValues& before)
    {
        result.listed = true;
        result.hasRecord = hasRecord;
        result.before = before;
    }
    // The file could not be opened: found is stat's errno (0: it is there);
    // the cause is told apart here, while the file is as the batch met it.
    void setunreadable(const char* path, int found);
    // Why the analysis failed.
    void setanalysisfailure(const AnalysisOutcome& outcome)
    {
        result.cause = outcome.cause;
        result.seconds = outcome.seconds;
        result.decoderReason = outcome.decoderReason;
    }
    // The library's Name and Artist of the track, when it has an entry there.
    void setlibraryentry(const std::string& name, const std::string& artist)
    {
        result.name = name;
        result.artist = artist;
    }
    // An exception left the track: it did not finish, whatever it did so far.
    void abandon() { abandoned = true; }

private:
    BatchDisplay& display;
    ovra::Canceler& canceler;
    std::atomic<int>* rows;
    bool abandoned = false;
    bool wordsAdded = false;
    TrackResult result;
};

} // namespace ovra::tempix
