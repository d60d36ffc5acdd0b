// What a batch shows while it runs. Each front end implements it; every call
// comes from the worker thread and must not block on the display (a window
// posts the change to its own thread).
#pragma once
#include "batch/TrackResult.h"

namespace ovra::tempix {

class BatchDisplay {
public:
    virtual ~BatchDisplay() = default;
    virtual void setFileLine(const char* text) = 0;   // the file being processed
    virtual void setStatusLine(const char* text) = 0; // the current step
    virtual void setProgressRange(int count) = 0;     // maximum, value 0, determinate
    virtual void setProgressValue(int value) = 0;
    // The batch ended (not cancelled): the file line is empty, the status line
    // shows the final message, and errors tells whether any were counted.
    // A window titles its button "Close" and hides its busy indicator.
    virtual void batchEnded(const char* message, bool errors) = 0;
    // One log entry exactly as written to the log file (with its line feed).
    virtual void logEntry(const char* text) = 0;
    // A track is done (not cancelled), whichever way it ended; after its
    // last log entry.
    virtual void trackFinished(const TrackResult& /*result*/) {}
};

} // namespace ovra::tempix
