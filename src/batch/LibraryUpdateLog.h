// Log entries held back while the library's changes wait for the helper to
// save them: "iTunes updated." is only true once the library file holds the
// change. From the first unconfirmed update on, every entry waits, so that
// the log keeps its order.
#pragma once
#include "batch/ITunesUpdate.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ovra::tempix {

class LibraryUpdateLog {
public:
    using Clock = std::chrono::steady_clock;

    bool holding() const { return !entries.empty(); }
    // When the oldest unconfirmed update was made.
    Clock::time_point since() const { return first; }

    // A track's values reached the library (unsaved): starts holding.
    void holdUpdated(const ITunesUpdateInput& in);
    // Any other entry while holding.
    void hold(const char* text);

    // Hands every held entry to out, in order, and stops holding. With
    // failure null the library was saved and "iTunes updated." stands; else
    // each such entry becomes "Track not updated in iTunes: " + failure, the
    // settings it should have, and an error.
    void release(ITunesUpdateSink& out, const char* failure);

private:
    struct Entry {
        std::string text;
        std::optional<ITunesUpdateInput> update; // an "iTunes updated." entry
    };
    std::vector<Entry> entries;
    Clock::time_point first;
};

} // namespace ovra::tempix
