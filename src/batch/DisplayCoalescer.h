// A BatchDisplay that keeps what the batch shows until a front end takes it,
// a few times a second: the latest file, status and progress, and every log
// entry and finished track in order. However fast the batch goes, the front
// end does one update per look instead of working through a backlog.
#pragma once
#include "batch/BatchDisplay.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ovra::tempix {

class DisplayCoalescer : public BatchDisplay {
public:
    // What changed since the last take().
    struct Changes {
        std::optional<std::string> fileLine;
        std::optional<std::string> statusLine;
        std::optional<int> progressRange; // applied before progressValue
        std::optional<int> progressValue;
        // Log entries and finished tracks in the batch's order: a result
        // follows the entries of its track.
        struct Event {
            std::string entry; // when result is empty
            std::optional<TrackResult> result;
        };
        std::vector<Event> events;
        std::optional<std::string> endMessage; // the batch ended, after everything above
        bool endErrors = false;
        bool empty() const
        {
            return !fileLine && !statusLine && !progressRange && !progressValue && events.empty() && !endMessage;
        }
    };

    // Hands over what changed and starts collecting anew.
    Changes take();
    // Drops everything not yet taken (a new batch begins).
    void clear();

    void setFileLine(const char* text) override;
    void setStatusLine(const char* text) override;
    void setProgressRange(int count) override;
    void setProgressValue(int value) override;
    void batchEnded(const char* message, bool errors) override;
    void logEntry(const char* text) override;
    void trackFinished(const TrackResult& result) override;

private:
    std::mutex mutex;
    Changes pending;
};

} // namespace ovra::tempix
