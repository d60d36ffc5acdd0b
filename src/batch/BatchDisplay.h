// What a batch shows while it runs. Each front end implements it; every call
// comes from the worker thread and must not block on the display.
#pragma once

namespace ovra::tempix {

class BatchDisplay {
public:
    virtual ~BatchDisplay() = default;
    virtual void setFileLine(const char* text) = 0;    // the file being processed
    virtual void setStatusLine(const char* text) = 0;  // the current step
    virtual void setProgressRange(int count) = 0;      // maximum, value 0, determinate
    virtual void setProgressValue(int value) = 0;
    // The batch ended (not cancelled): the final message and whether errors were counted.
    virtual void batchEnded(const char* message, bool errors) = 0;
    // One log entry as written to the log file (carries its own line feed).
    virtual void logEntry(const char* text) = 0;
};

} // namespace ovra::tempix
