// One batch: the worker thread, the log file, the error count, the genre set,
// the loaded library and the connection to the script helper. The front ends (the progress sheet, tempix-cli)
// drive it and show it through a BatchDisplay.
#pragma once
#include "batch/BatchDisplay.h"
#include "batch/BatchOptions.h"
#include "batch/ErrorCount.h"
#include "batch/ITunesUpdate.h"
#include "batch/LibraryUpdateLog.h"
#include "batch/TrackAnalysis.h"
#include "batch/TrackReport_auto.h"
#include "batch/TrackSequencer.h"
#include "platform/Threads.h"
#include "platform/tools_paths.h"
#include "script/AppleScriptServer.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
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
    // One track, start to end, on the calling thread.
    void processTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler);

    // Display and log operations, called on the worker thread. A log entry
    // waits while library updates wait for their save (LibraryUpdateLog).
    void logLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A failure of the running track: logs the line, counts the error and
    // keeps the line, without its line feed, as why the track failed.
    void failTrack(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same for a track passed over on purpose (genre, values of another
    // program): logged and kept as the reason, not counted.
    void skipTrack(const char* format, ...) __attribute__((format(printf, 2, 3)));
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
    virtual AnalysisOutcome analyzeTrackAudio(const char* path, ovra::Canceler& canceler,
                                              const AnalysisOptions& measure);
    // The library's part of a track, through the script helper.
    virtual void updateLibrary(const ITunesUpdateInput& input);

private:
    class DirectLog;
    class LibrarySink;
    struct TrackJob;

    // The track this thread runs or commits: its report takes the thread's
    // log entries and errors for the guard's life.
    class OnTrack_auto {
    public:
        explicit OnTrack_auto(TrackReport_auto& report) : count(report.errorcounter()), previous(currentTrack)
        {
            currentTrack = &report;
        }
        ~OnTrack_auto() { currentTrack = previous; }
        OnTrack_auto(const OnTrack_auto&) = delete;
        OnTrack_auto& operator=(const OnTrack_auto&) = delete;

    private:
        ErrorCount::Track_auto count;
        TrackReport_auto* previous;
    };

    // A path, name or other text of a file as it goes into the log: on its one line.
    static std::string logged(const char* text);
    // One log entry as it is, with its line feed.
    void logText(const char* text);
    // The same, kept as the track's reason (see failTrack).
    void reasonLine(const std::string& text);
    // The words for a code whose line gave only its number: the next line.
    void logErrorWords(int code);

    // A track of the batch: run now (one job), or queued for the workers and
    // committed in its turn; progress is the bar's value once it is done.
    // finished, when given, learns whether the track failed, in the batch's order.
    void runTrack(const char* path, int32_t trackId, const BatchOptions& options, ovra::Canceler& canceler,
                  int progress, std::function<void(bool failed)> finished = nullptr);
    // processTrack's steps up to the tag write; false when the track ends
    // before the library's part.
    bool trackSteps(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler, TrackReport_auto& report);
    void showFile(const char* path);
    // With several jobs: an entry made on a worker, or by the batch while
    // tracks before it are pending, waits for its turn (true when taken).
    bool heldForTurn(const char* text);
    // A worker's status is its track's; the batch shows the oldest track's.
    bool statusOfJob(const char* text);
    void startJobs(int jobs, const BatchOptions& options, ovra::Canceler& canceler);
    void showJob(TrackJob& job);
    // One log entry in the log's order: held, or written now.
    void emitLog(const char* text);
    // Several jobs: a track's costly part on a worker, the rest in order here.
    void workOn(TrackJob& job, const BatchOptions& options);
    void commitTrack(TrackJob& job, bool whole);
    // Commits every queued track; false when the batch was cancelled meanwhile.
    bool tracksFinished(ovra::Canceler& canceler);
    // Stops the workers; the lines of the tracks they began are written.
    void stopTracks();

    // The steps of processTrack; each but the last two returns false when
    // the track ends there (logged, and counted when it failed).
    bool readTrack(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    // Takes the track's lock and settles an interrupted update of it first
    // (a dry run only looks); false when the track may be damaged (logged
    // and counted).
    bool claimTrack(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    bool passesGenreFilter(ovra::Tag& tag);
    bool decideWrites(TrackState& track, const BatchOptions& options);
    bool obtainAnalysis(TrackState& track, const BatchOptions& options, ovra::Canceler& canceler);
    void deriveValues(TrackState& track, const BatchOptions& options);
    bool writeTag(TrackState& track, const BatchOptions& options);
    ITunesUpdateInput libraryUpdate(const TrackState& track, const BatchOptions& options);
    // ReplayGain: the track's values staged in its tag; the album's key and
    // measure kept for the album pass, which writes the album values once
    // every track of each album has been measured.
    void stageReplayGain(TrackState& track, const BatchOptions& options);
    void noteAlbumTrack(const TrackState& track);
    // The album a track belongs to: its folder, artist and album (empty
    // without an album name).
    static std::string albumKey(const char* path, ovra::Tag& tag);
    void writeAlbumGains(const BatchOptions& options, ovra::Canceler& canceler);

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
    ErrorCount errors;
    std::atomic<int> rowsShown{0}; // tracks that got their row
    int tracksInBatch = 0;         // the progress range
    std::atomic<Outcome> ending{Outcome::none};
    ovra::AppleScriptServer scriptServer;
    char helperLibrary[ovra::PATH_BUFFER] = ""; // the library file the helper works on
    char loadedLibrary[ovra::PATH_BUFFER] = ""; // the one this batch read
    std::vector<std::string> libraryPlaces;     // where it was looked for
    LibraryUpdateLog held;
    static inline thread_local TrackReport_auto* currentTrack = nullptr;
    // Several jobs: the workers, and the job a worker runs now.
    std::unique_ptr<TrackSequencer> sequencer;
    static inline thread_local TrackJob* runningJob = nullptr;
    bool committing = false; // a job's entries go out in their turn now
    // The albums of this batch, in the order they were met: each track's path
    // and meter (null when the track was not measured).
    struct AlbumTrack {
        std::string path;
        std::shared_ptr<const LoudnessMeter> meter;
    };
    std::mutex albumMutex;
    std::vector<std::pair<std::string, std::vector<AlbumTrack>>> albums;
};

} // namespace ovra::tempix
