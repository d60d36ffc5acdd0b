#include "batch/BatchRunner.h"
#include "batch/DirectoryWalker.h"
#include "batch/DryRun.h"
#include "batch/PlaylistFile.h"
#include "platform/tools_strings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>
#include <sys/stat.h>
#include <thread>

namespace ovra::tempix {

BatchRunner::BatchRunner(BatchDisplay& display, TrackHooks& hooks, const BatchSettings& settings_)
    : settings(settings_), log(display), library(log), source(log, settings_), albums(log, hooks),
      pipeline(log, hooks, settings_, source, albums), jobs(log, pipeline, hooks, library)
{
}

void BatchRunner::start(const BatchOptions& options)
{
    ending = BatchOutcome::none;
    // The helper works on the library file this batch reads; whether it
    // started shows in the first track's library step.
    char helperLibrary[ovra::PATH_BUFFER];
    source.file(helperLibrary);
    library.begin(helperLibrary, settings.locationMaps, !options.dryRun); // a dry run starts no helper
    source.clear();
    pipeline.begin();
    log.open();
    log.errors() = 0;
    tracksInBatch = 0;
    albums.clear();
    std::time_t now = std::time(nullptr);
    log.line("%.24s: Tempix started.\n", std::ctime(&now));
    if (options.dryRun)
        log.line("%s", DRY_RUN_STARTED);
}

void BatchRunner::run(const BatchOptions& options, ovra::Canceler& canceler)
{
    start(options);
    jobs.begin(settings.jobs > 0 ? settings.jobs : int(std::max(1u, std::thread::hardware_concurrency())), options,
               canceler);
    try {
        if (settings.source == SOURCE_LIBRARY || settings.source == SOURCE_PLAYLIST)
            libraryBranch(options, canceler);
        else
            folderBranch(options, canceler);
    } catch (int code) {
        jobs.stop(); // what the workers began is logged first
        log.line("Error while reading iTunes database: error code %d.\n", code);
        source.logError(code);
        ++log.errors();
        abort("Error while reading iTunes database");
    } catch (const std::exception& e) {
        // Not one of our codes (out of memory, for one): end the batch in order.
        jobs.stop();
        log.line("Batch stopped by an unexpected error: %s.\n", e.what());
        ++log.errors();
        abort("Batch stopped by an unexpected error");
    } catch (...) {
        jobs.stop();
        log.line("Batch stopped by an unexpected error.\n");
        ++log.errors();
        abort("Batch stopped by an unexpected error");
    }
    ended(canceler);
}

void BatchRunner::ended(ovra::Canceler& canceler)
{
    jobs.stop(); // cancelled: the tracks begun are logged as far as they got
    jobs.end();
    library.settle(true); // a cancelled batch too: what reached the library is saved
    if (ending.load() == BatchOutcome::none && canceler.iscancelled()) {
        ending = BatchOutcome::cancelled;
        if (tracksInBatch > 0)
            log.line("Batch cancelled after %d of %d tracks.\n", jobs.rows(), tracksInBatch.load());
        else
            log.line("Batch cancelled before its tracks were counted.\n");
    }
    source.clear();
    library.end();
}

void BatchRunner::setProgressRange(int count)
{
    tracksInBatch = count;
    log.shown().setProgressRange(count);
}

void BatchRunner::finish(ovra::Canceler& canceler)
{
    jobs.finished(canceler);
    library.settle(true);
    ending = BatchOutcome::finished;
    const bool failed = log.errorcount() != 0;
    log.shown().setFileLine("");
    log.shown().batchEnded(failed ? "There were errors. Check the log file for details." : "Done", failed);
}

void BatchRunner::abort(const char* message)
{
    jobs.stop();
    library.settle(true);
    ending = BatchOutcome::aborted;
    log.shown().setFileLine("");
    log.shown().batchEnded(message, log.errorcount() != 0);
}

void BatchRunner::logMappings(TrackLocations& locations)
{
    for (const std::string& entry : locations.entries())
        log.line("%s", entry.c_str());
    log.errors() += locations.unusableMappings();
}

void BatchRunner::libraryBranch(const BatchOptions& options, ovra::Canceler& canceler)
{
    log.status("Reading iTunes database");
    source.load();
    if (canceler.iscancelled())
        return;
    ovra::PListArray* items = source.playlistItems();
    if (items == nullptr) {
        abort("Playlist not found");
        return;
    }
    TrackLocations locations(settings.locationMaps);
    logMappings(locations);
    setProgressRange(items->count());
    for (int i = 0; i < items->count(); ++i) {
        int32_t id = -1;
        const char* location = "";
        if (source.playlistTrack(items->at(i), id, location)) {
            TrackLocations::Found file = locations.find(location);
            if (file.usable) {
                jobs.run(file.path.c_str(), id, options, canceler, i + 1,
                         [&locations, location, path = file.path](bool failed) {
                             locations.processed(location, path, failed);
                         });
                if (canceler.iscancelled())
                    return;
            } else {
                log.line("%s", file.logEntry.c_str());
                if (file.error)
                    ++log.errors();
            }
        }
        library.settle(false);
    }
    if (!jobs.finished(canceler))
        return;
    albums.write(options, canceler);
    for (const std::string& line : locations.notFoundHint())
        log.line("%s", line.c_str());
    finish(canceler);
}

bool BatchRunner::folderTrackIds(const BatchOptions& options, ovra::Canceler& canceler,
                                 std::map<std::string, int32_t>& ids)
{
    if (!options.exportToLibrary)
        return true;
    log.status("Reading iTunes database");
    char path[ovra::PATH_BUFFER];
    if (!source.found(path)) {
        // Most systems keep no library file: the tracks simply have no IDs.
        log.line("No iTunes library file found at '%s': processing tracks without library IDs.\n",
                 BatchLog::logged(path).c_str());
        source.logPlaces();
        return true;
    }
    source.load();
    if (canceler.iscancelled())
        return false;
    source.trackIdsByPath(ids);
    return true;
}

// A playlist file stands for the tracks it lists, in its order, found
// through the same location mappings as the library's.
std::vector<FolderSource> BatchRunner::folderSources()
{
    std::vector<FolderSource> sources;
    std::optional<TrackLocations> mapped;
    for (const std::string& r : folderroots(settings)) {
        struct stat st;
        if (!isPlaylistFile(r.c_str()) || stat(r.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            sources.push_back({r, "", false});
            continue;
        }
        if (!mapped) {
            mapped.emplace(settings.locationMaps);
            if (!source.loaded()) // else they were logged with the library
                logMappings(*mapped);
        }
        playlistsources(r, mapped->locationMap(), sources);
    }
    return sources;
}

int BatchRunner::countFiles(const std::vector<FolderSource>& sources, ovra::Canceler& canceler)
{
    log.status("Counting files");
    int count = 0;
    for (const FolderSource& s : sources) {
        if (s.path.empty())
            continue;
        DirectoryWalker walker(DirectoryWalker::SINGLE_FILE);
        walker.start(s.path.c_str());
        for (;;) {
            if (canceler.iscancelled())
                return -1;
            DirectoryWalker* entry = walker.next();
            if (entry == nullptr)
                break;
            if (isAudioFile(entry->path()))
                ++count;
        }
    }
    return count;
}

void BatchRunner::folderBranch(const BatchOptions& options, ovra::Canceler& canceler)
{
    std::map<std::string, int32_t> trackIds;
    if (!folderTrackIds(options, canceler, trackIds))
        return;
    const std::vector<FolderSource> sources = folderSources();
    const int count = countFiles(sources, canceler);
    if (count < 0)
        return;
    setProgressRange(count);
    int done = 0;
    for (const FolderSource& s : sources) {
        if (!s.line.empty()) {
            log.line("%s", s.line.c_str());
            if (s.error)
                ++log.errors();
        }
        if (!s.path.empty() && !walkSource(s, trackIds, options, canceler, done))
            return;
    }
    if (!jobs.finished(canceler))
        return;
    albums.write(options, canceler);
    finish(canceler);
}

bool BatchRunner::walkSource(const FolderSource& s, const std::map<std::string, int32_t>& ids,
                             const BatchOptions& options, ovra::Canceler& canceler, int& done)
{
    const std::string shown = BatchLog::logged(s.path.c_str());
    struct stat st;
    if (stat(s.path.c_str(), &st) != 0) {
        int e = errno;
        log.line("Could not open '%s': %s (errno %d).\n", shown.c_str(), std::strerror(e), e);
        ++log.errors();
        return true;
    }
    if (!S_ISDIR(st.st_mode) && !isAudioFile(s.path.c_str())) {
        log.line("Not an MP3, M4A, FLAC, Ogg or Opus file: skipping '%s'.\n", shown.c_str());
        ++log.errors();
        return true;
    }
    DirectoryWalker walker(DirectoryWalker::SINGLE_FILE);
    walker.setReporter([this](DirectoryWalker::Skip what, const char* folder, const char* name, int error) {
        const std::string in = BatchLog::logged(folder);
        if (what == DirectoryWalker::Skip::unreadableFolder)
            log.line("Could not read folder '%s': %s (errno %d).\n", in.c_str(), std::strerror(error), error);
        else if (what == DirectoryWalker::Skip::pathTooLong && *name != '\0')
            log.line("Path longer than %zu bytes: skipping '%s/%s'.\n", ovra::PATH_MAX_BYTES, in.c_str(),
                     BatchLog::logged(name).c_str());
        else if (what == DirectoryWalker::Skip::pathTooLong)
            log.line("Path longer than %zu bytes: skipping the folder '%s'.\n", ovra::PATH_MAX_BYTES, in.c_str());
        else
            log.line("Folder more than 16 levels deep: skipping '%s'.\n", in.c_str());
        ++log.errors();
    });
    walker.start(s.path.c_str());
    for (;;) {
        if (canceler.iscancelled())
            return false;
        log.status("Looking for next file");
        DirectoryWalker* entry = walker.next();
        if (entry == nullptr)
            return true;
        if (!isAudioFile(entry->path()))
            continue;
        auto known = ids.find(entry->path());
        jobs.run(entry->path(), known == ids.end() ? -1 : known->second, options, canceler, ++done);
        if (canceler.iscancelled())
            return false;
        library.settle(false);
    }
}

} // namespace ovra::tempix
