// The library's part of a batch: the script helper that changes the library
// file, the log entries held until the helper has saved the changes, and
// the saves themselves.
#pragma once
#include "batch/BatchLog.h"
#include "batch/ITunesUpdate.h"
#include "batch/LibraryUpdateLog.h"
#include "script/AppleScriptServer.h"

#include <string>
#include <vector>

namespace ovra::tempix {

class LibraryUpdater {
public:
    explicit LibraryUpdater(BatchLog& log);
    ~LibraryUpdater();
    LibraryUpdater(const LibraryUpdater&) = delete;
    LibraryUpdater& operator=(const LibraryUpdater&) = delete;

    // How often unsaved library changes are saved while a batch runs.
    static constexpr int SAVE_INTERVAL_MS = 2000;

    // The helper works on this library file; a dry run changes nothing in
    // the library and starts none.
    void begin(const char* libraryFile, const std::vector<std::string>& maps, bool start);
    void end();

    // One track's values, through the helper; the running track's report
    // learns what became of them.
    void update(const ITunesUpdateInput& input);
    // Asks the helper to save the library's changes when the oldest unsaved
    // one is SAVE_INTERVAL_MS old (always when now), and writes the entries
    // held for them: as they are, or as failures.
    void settle(bool now);

private:
    class TrackSink;
    class DirectLog;
    int runScript(const char* script, char* reply, size_t size, bool& restarted);

    BatchLog& log;
    LibraryUpdateLog held;
    ovra::AppleScriptServer scriptServer;
    char helperLibrary[ovra::PATH_BUFFER] = ""; // the library file the helper works on
};

} // namespace ovra::tempix
