// The batch's log and what it shows: each entry goes to the running track's
// report, waits for its track's turn (several jobs) or for the library's save,
// and then reaches the log file and the display. It counts the batch's errors.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/ErrorCount.h"
#include "batch/TrackReport_auto.h"
#include "platform/tools_paths.h"

#include <cstdio>
#include <functional>
#include <string>

namespace ovra::tempix {

class BatchLog {
public:
    explicit BatchLog(BatchDisplay& display) : display(display) {}
    ~BatchLog();
    BatchLog(const BatchLog&) = delete;
    BatchLog& operator=(const BatchLog&) = delete;

    // Opens the log file for appending; the batch runs without one when it
    // cannot be opened.
    void open();
    // The log file's full path once a batch has started.
    const char* path() const { return filePath; }

    // One entry, in the log's order.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A failure of the running track: logged, counted, and kept without its
    // line feed as why the track failed.
    void fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A track passed over on purpose: logged and kept as the reason, not counted.
    void skip(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The words for a code whose line gave only its number: the next line.
    void errorwords(int code);
    // After a failed tag write: where the original bytes of a half-written
    // track are kept, when that is so.
    void halfwritten();
    // An entry that has had its turn: held while the library waits for its
    // save, else written.
    void send(const char* text);
    // Straight into the file and onto the display.
    void write(const char* text);
    void status(const char* text);

    ErrorCount& errors() { return count; }
    int errorcount() const { return count.load(); }
    BatchDisplay& shown() { return display; }

    // Several jobs: takes an entry or a status line that must wait for its
    // track's turn (true when taken).
    std::function<bool(const char*)> holdforturn;
    std::function<bool(const char*)> statusforturn;
    // The library's save: takes an entry that must wait for it.
    std::function<bool(const char*)> holdforsave;

    // A path, name or other text of a file as it goes into the log: on its one line.
    static std::string logged(const char* text);
    // The track this thread runs or commits, if any.
    static TrackReport_auto* track() { return currentTrack; }

    // The track this thread runs or commits: its report takes the thread's
    // entries and errors for the guard's life.
    class OnTrack_auto {
    public:
        explicit OnTrack_auto(TrackReport_auto& report) : counted(report.errorcounter()), previous(currentTrack)
        {
            currentTrack = &report;
        }
        ~OnTrack_auto() { currentTrack = previous; }
        OnTrack_auto(const OnTrack_auto&) = delete;
        OnTrack_auto& operator=(const OnTrack_auto&) = delete;

    private:
        ErrorCount::Track_auto counted;
        TrackReport_auto* previous;
    };

private:
    void entry(const char* text);
    void reason(const std::string& text);

    BatchDisplay& display;
    char filePath[ovra::PATH_BUFFER] = "";
    FILE* file = nullptr;
    ErrorCount count;
    static inline thread_local TrackReport_auto* currentTrack = nullptr;
};

} // namespace ovra::tempix
