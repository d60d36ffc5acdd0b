// One batch: the worker thread, the log file, the error count, the genre set,
// the loaded library and the connection to the script helper. The front ends (the progress sheet, tempix-cli)
// drive it and show it through a BatchDisplay.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/BatchOptions.h"
#include "batch/ITunesUpdate.h"
#include "batch/LibraryUpdateLog.h"
#include "batch/TrackAnalysis.h"
#include "batch/TrackReport_auto.h"
#include "platform/Threads.h"
#include "platform/tools_paths.h"
#include "script/AppleScriptServer.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ovra {
class PListDict;
class PListNode;
class Tag;
} // namespace ovra

namespace ovra::tempix {

struct TrackState;

class BatchProcessor {
public:
    explicit BatchProcessor(BatchDisplay& display);
    // Cancels and waits for a running batch first, then closes the log.
    virtual ~BatchProcessor();
    BatchProcessor(const BatchProcessor&) = delete;
    BatchProcessor& operator=(const BatchProcessor&) = delete;

    // Takes the settings and starts runBatch on a worker thread; 0 when
    // started, -1 when a batch is running or no thread could be started.
    int start(const BatchSettings& settings, const BatchOptions& options);
    void cancelall(); // every running worker's Canceler
    void waitall();   // until no worker runs
    bool running();

    // The source, folder, playlist, genre policy and lists of the next batch;
    // they must not change while it runs.
    void setSettings(const BatchSettings& settings);
    const BatchSettings& settings() const { return current; }

    // The worker's body, also callable on the caller's own thread.
    void runBatch(const BatchOptions& options, ovra::Canceler& canceler);
    void processTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler);

    // Display and log operations, called on the worker thread. A log entry
    // waits while library updates wait for their save (LibraryUpdateLog).
    void logLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void setProgressRange(int count);
    void setProgressValue(int value);
    void setStatus(const char* text);
    // Both first settle the library's unsaved changes, so that the count of
    // errors is final.
    void finishBatch();
    void abortBatch(const char* message);

    // How often unsaved library changes are saved while a batch runs.
    static constexpr int LIBRARY_SAVE_INTERVAL_MS = 2000;

    // How the last batch ended; read once it no longer runs.
    enum class Outcome { none, finished, aborted, cancelled };
    Outcome outcome() const { return ending.load(); }
    int errorCount() const { return errors.load(); }
    // The log file's full path once a batch has started.
    const char* logPath() const { return logFilePath; }

protected:
    // The tag and the analysis of one track; tests put their own in.
    virtual ovra::Tag* openTrackTag(const char* path);
    virtual AnalysisOutcome analyzeTrackAudio(const char* path, ovra::Canceler& canceler);
    // The library's part of a track, through the script helper.
    virtual void updateLibrary(const ITunesUpdateInput& input);

private:
    class DirectLog;
    class LibrarySink;

    // A path, name or other text of a file as it goes into the log: on its one line.
    static std::string logged(const char* text);
    // The words for a code whose line gave only its number: the next line.
    void logErrorWords(int code);

    // The steps of processTrack; each but the last two returns false when
    // the track ends there (logged, and counted when it failed).
    bool readTrack(TrackState& track);
    bool passesGenreFilter(ovra::Tag& tag);
    bool decideWrites(TrackState& track, const BatchOptions& options);
    bool obtainAnalysis(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    void deriveValues(TrackState& track, const BatchOptions& options);
    bool writeTag(TrackState& track, const BatchOptions& options);
    ITunesUpdateInput libraryUpdate(const TrackState& track, const BatchOptions& options);

    static void workerEntry(void* argument, ovra::Canceler& canceler);
    void openLog();
    void writeLog(const char* text);
    void libraryBranch(const BatchOptions& options, ovra::Canceler& canceler);
    void folderBranch(const BatchOptions& options, ovra::Canceler& canceler);
    void trackIdsByPath(std::map<std::string, int32_t>& ids);
    void loadLibrary(const char* path);
    void logLibraryError(int code);
    void logLibraryPlaces(const std::vector<std::string>& tried);
    bool playlistTrack(ovra::PListNode* item, ovra::PListDict* tracks, int32_t& id, const char*& location);
    // The library file of this batch: the one named in the settings, or the
    // one the library's preferences point to (tried: the places looked at).
    void libraryFile(char* out, std::vector<std::string>* tried = nullptr) const;
    // Asks the helper to save the library's changes when the oldest unsaved
    // one is LIBRARY_SAVE_INTERVAL_MS old (always when now), and writes the
    // entries held for them: as they are, or as failures.
    void settleLibrary(bool now);
    int runScript(const char* script, char* reply, size_t size, bool& restarted);

    BatchDisplay& display;
    ThreadGroup threads;
    BatchSettings current;
    BatchOptions startOptions;
    std::unique_ptr<ovra::PListNode> root;
    std::set<std::string> genreSet;
    char logFilePath[ovra::PATH_BUFFER] = "";
    FILE* logFile = nullptr;
    std::atomic<int> errors{0};
    std::atomic<Outcome> ending{Outcome::none};
    ovra::AppleScriptServer scriptServer;
    char helperLibrary[ovra::PATH_BUFFER] = ""; // the library file the helper works on
    char loadedLibrary[ovra::PATH_BUFFER] = ""; // the one this batch read
    std::vector<std::string> libraryPlaces;     // where it was looked for
    LibraryUpdateLog held;
    TrackReport_auto* currentTrack = nullptr; // the running track's, on the worker
};

} // namespace ovra::tempix
