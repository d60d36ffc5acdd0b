// What became of one track of a batch, for a front end that lists them.
#pragma once
#include "batch/TrackAnalysis.h"
#include "batch/TrackValues.h"

#include <cstdint>
#include <string>

namespace ovra::tempix {

enum class TrackOutcome {
    updated,     // the tag was written ("Track updated.")
    upToDate,    // nothing in the tag had to change ("Track is up-to-date.")
    skipped,     // left alone on purpose: genre filter, values set by another program
    failed,      // an error was counted for the track
    wouldUpdate, // a dry run: the tag would be written ("Would update track: ...")
};

// What the tag step and the library's part each did; none where the track
// did not get there.
enum class TagOutcome { none, updated, upToDate, wouldUpdate };
enum class LibraryOutcome { none, updated, upToDate, wouldUpdate, failed };

// An outcome in words: "updated", "up to date", "skipped", "error", "would update".
const char* outcomewords(TrackOutcome outcome);

// How many tracks of a batch ended each way, and that as a line.
struct TrackCounts {
    int updated = 0;
    int upToDate = 0;
    int skipped = 0;
    int failed = 0;
    int wouldUpdate = 0; // a dry run's
    void add(TrackOutcome outcome);
    int total() const { return updated + upToDate + skipped + failed + wouldUpdate; }
    // "3 updated, 1 up to date, 0 skipped, 1 error"; a dry run's "3 would update, ..."
    std::string text() const;
};

struct TrackResult {
    std::string path;
    int32_t trackId = -1;
    TrackOutcome outcome = TrackOutcome::failed;
    TagOutcome tag = TagOutcome::none;
    LibraryOutcome library = LibraryOutcome::none;
    int errors = 0; // errors counted while the track ran
    // Why the track failed or was passed over, in the words of its log line
    // (the first error's); empty when it went as asked.
    std::string reason;
    // The track's log entries after its "Processing:" line, each with its
    // line feed.
    std::string entries;

    // The analysis the values come from, when the track got that far.
    bool hasAnalysis = false;
    TrackAnalysis analysis;
    double sampleRate = 0.0; // as the values were derived with

    // What the track held before, and the values worked out for it (each
    // only when it was asked for and allowed).
    TrackValues before;
    TrackValues after;
    // A listing: whether the track holds an analysis that a run would reuse.
    bool listed = false;
    bool hasRecord = false;

    // Why the file itself could not be read, when it could not: an errno
    // (ENOENT, EACCES...), or FILE_NOT_AUDIO / FILE_UNREADABLE.
    int fileError = 0;
    static constexpr int FILE_NOT_AUDIO = -1;  // a name no tag reader takes
    static constexpr int FILE_UNREADABLE = -2; // an audio file whose tags cannot be read
    // Why the analysis failed, when it did.
    AnalysisCause cause = AnalysisCause::none;
    double seconds = 0.0;      // too short: the track's length
    std::string decoderReason; // not opened: what the decoder said
    // The library's Name and Artist of a track that comes from the library.
    std::string name;
    std::string artist;
};

} // namespace ovra::tempix
