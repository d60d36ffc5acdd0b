// What a batch shows in a terminal: the log entries on standard output (as
// written to the log file), a progress bar on standard error when that is a
// terminal, under each track the values written, and at the end one summary
// line. With JSON, standard output takes one object per track and a summary
// object instead, and the log goes to the log file only.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/TrackResult.h"

#include <chrono>
#include <string>

namespace ovra::tempix::cli {

struct TerminalChoices {
    bool bar = false;    // a progress bar (standard error is a terminal)
    bool values = false; // the values written under each track's outcome
    bool quiet = false;  // no progress, no log echo: errors and the summary only
    bool json = false;
    bool list = false; // a listing: one line per track, what it holds now
};

class TerminalDisplay : public BatchDisplay {
public:
    explicit TerminalDisplay(const TerminalChoices& choices);

    void setFileLine(const char* text) override;
    void setStatusLine(const char* text) override;
    void setProgressRange(int count) override;
    void setProgressValue(int v) override;
    void batchEnded(const char* message, bool) override;
    void logEntry(const char* text) override;
    void trackFinished(const TrackResult& result) override;
    void clear();

    // "9 updated, 2 up to date, 1 skipped, 0 errors (12 tracks, 0:14)" on
    // standard error, or the summary object; cancelled: how far it got.
    void summary(bool cancelled);

    // The values a track got, for a person: "BPM 128 · start 0:03.4 · ...".
    static std::string valuestext(const TrackResult& result);
    // One track as a JSON object (one line, no line feed).
    static std::string trackjson(const TrackResult& result);

private:
    using Clock = std::chrono::steady_clock;
    void draw(bool force);

    TerminalChoices choices;
    bool drawn = false;
    int range = 0;
    int value = 0;
    std::string file;
    std::string status;
    Clock::time_point started = Clock::now(); // of the progress bar's range
    const Clock::time_point batchStarted = Clock::now();
    Clock::time_point lastDraw;
    TrackCounts counts;
    int listed = 0, withRecord = 0;
};

} // namespace ovra::tempix::cli
