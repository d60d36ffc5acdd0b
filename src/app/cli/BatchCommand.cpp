// The batch from a terminal: files and folders, the library or one playlist, with the
// nine processing options and the genre policy as flags. Log entries go to
// standard output as written to the log file; a progress bar goes to standard
// error when that is a terminal; Ctrl-C cancels at the next check.
#include "app/SavedSettings.h"
#include "app/cli/CliCommand.h"
#include "app/cli/TerminalDisplay.h"
#include "batch/BatchProcessor.h"
#include "plist/LocationMap.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ovra::tempix::cli {

namespace {

class BatchCommand : public CliCommand {
public:
    explicit BatchCommand(const CliPaths& paths) : paths(paths) {}

    void addOptions(CLI::App& app) override
    {
        // The tracks: files and folders (PATH...), the library or one playlist.
        auto* libraryOption = app.add_flag("-l,--library", library, "Process every track of the music library");
        auto* playlistOption = app.add_option("-p,--playlist", playlist, "Process the tracks of one library playlist");
        libraryOption->excludes(playlistOption);
        app.add_option("--library-file", libraryFile, "Use this library file instead of locating it");
        app.add_option("--map-location", locationMaps,
                       "Find library locations that begin with PREFIX under FOLDER (PREFIX=FOLDER; repeatable; "
                       "added to the saved mappings, the longest matching prefix wins)")
            ->type_name("PREFIX=FOLDER")
            ->allow_extra_args(false) // one mapping an occurrence: the paths after it stay paths
            ->take_all();
        app.add_flag("-n,--dry-run", options.dryRun,
                     "Run the whole batch but write nothing: log what would change in the tracks and the library");

        app.add_flag("--detect-bpm,!--no-detect-bpm", options.detectbpm, "Detect the tempo (default: on)");
        app.add_flag("--overwrite-bpm", options.overwritebpm, "Replace a BPM set by another program");
        app.add_flag("--optimize-times", options.optimizetimes, "Set start and stop times (library tracks)");
        app.add_flag("--less-intro", options.lessintro, "Skip at least four seconds of intro and outro");
        app.add_flag("--overwrite-times", options.overwritetimes, "Replace times set by another program");
        app.add_flag("--adjust-volume", options.adjustvolume, "Even out loudness between tracks");
        app.add_flag("--overwrite-volume", options.overwritevolume, "Replace a volume set by another program");
        app.add_flag("--export,!--no-export", options.exportToLibrary, "Send the results to the library (default: on)");
        app.add_flag("--reprocess", options.reprocess, "Analyse again even when a stored analysis is usable");
        app.add_flag("--replaygain{track}", replaygain,
                     "Write ReplayGain tags for players, measured in the same decoding (--replaygain=album: the "
                     "album's too)")
            ->check(CLI::IsMember({"track", "album"}));
        app.add_flag("--true-peak", options.truePeak,
                     "With --replaygain: the true peak (oversampled) in place of the sample peak");
        app.add_flag("--list", list,
                     "List the tracks a batch would take (PATH..., --library or --playlist) with their BPM and "
                     "whether an analysis is stored; nothing is decoded or written");
        auto* quietOption =
            app.add_flag("-q,--quiet", quiet, "No progress and no log on the terminal: only errors and the summary");
        app.add_flag("-v,--verbose", verbose, "The values written under every track, also when not on a terminal")
            ->excludes(quietOption);
        jsonOption = app.get_option_no_throw("--json");
        app.add_option("-j,--jobs", jobs, "Tracks analysed at once (default: one per core)")
            ->check(CLI::Range(1, MAX_JOBS));

        auto* all = app.add_flag("--all-genres", allGenres, "Process tracks of every genre");
        auto* skip =
            app.add_option("--skip-genres", skipGenres,
                           "Skip tracks of these genres (comma-separated; default: podcasts, speech, classical ...)");
        auto* only =
            app.add_option("--only-genres", onlyGenres, "Process only tracks of these genres (comma-separated)");
        all->excludes(skip)->excludes(only);
        skip->excludes(only);
        skipGiven = skip;
        onlyGiven = only;
        playlistGiven = playlistOption;
    }

    bool selected() const override { return !paths.empty() || named(); }
    bool dryRun() const override { return options.dryRun || list; }
    bool named() const override { return library || playlistGiven->count() > 0; }

    int run() override
    {
        BatchSettings settings;
        if (!prepare(settings))
            return EXIT_USAGE;
        if (!replaygain.empty())
            options.replaygain = replaygain == "album" ? ReplayGainMode::album : ReplayGainMode::track;

        TerminalChoices choices;
        choices.bar = isatty(STDERR_FILENO) != 0;
        choices.values = verbose || isatty(STDOUT_FILENO) != 0;
        choices.quiet = quiet;
        choices.json = jsonOption != nullptr && jsonOption->count() > 0;
        choices.list = list;
        if (list)
            options.listOnly = options.dryRun = true;
        TerminalDisplay display(choices);
        BatchProcessor processor(display);

        // The worker inherits the blocked signals; this thread takes them.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &signals, &previous);

        if (processor.start(settings, options) != 0) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            std::fprintf(stderr, "tempix-cli: could not start the batch\n");
            return EXIT_ERRORS;
        }
        bool interrupted = false;
        while (processor.running()) {
            struct timespec wait = {0, 100 * 1000 * 1000};
            int sig = sigtimedwait(&signals, nullptr, &wait);
            if (sig == SIGINT || sig == SIGTERM)
                interrupted = true;
            if (interrupted)
                processor.cancelall(); // again each round: the worker may not have registered yet
        }
        processor.waitall();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);

        display.clear();
        const bool cancelled = interrupted || processor.outcome() == BatchProcessor::Outcome::cancelled;
        display.summary(cancelled);
        if (cancelled) {
            std::fprintf(stderr, "Cancelled.\n");
            return EXIT_CANCELLED;
        }
        if (processor.outcome() != BatchProcessor::Outcome::finished || processor.errorCount() != 0) {
            if (processor.logPath()[0] != '\0')
                std::fprintf(stderr, "Log file: %s\n", processor.logPath());
            return EXIT_ERRORS;
        }
        return EXIT_DONE;
    }

private:
    static bool fail(const std::string& message)
    {
        std::fprintf(stderr, "tempix-cli: %s\n", message.c_str());
        return false;
    }

    bool prepare(BatchSettings& settings)
    {
        if (named() && !paths.empty())
            return fail("files and folders cannot be given with --library or --playlist");
        if (!paths.empty()) {
            for (const std::string& path : paths) {
                char resolved[PATH_MAX];
                if (realpath(path.c_str(), resolved) == nullptr)
                    return fail("cannot open '" + path + "': " + std::strerror(errno));
                if (std::strlen(resolved) >= ovra::PATH_BUFFER)
                    return fail("the path of '" + path + "' is longer than " + std::to_string(ovra::PATH_MAX_BYTES) +
                                " bytes");
                settings.paths.push_back(resolved);
            }
            settings.source = SOURCE_FOLDER;
            settings.path = settings.paths.front();
        } else if (library) {
            settings.source = SOURCE_LIBRARY;
        } else {
            if (playlist.size() > ovra::PLAYLIST_NAME_MAX_BYTES)
                return fail("a playlist name has at most " + std::to_string(ovra::PLAYLIST_NAME_MAX_BYTES) + " bytes");
            settings.source = SOURCE_PLAYLIST;
            settings.playlist = playlist;
        }
        if (!libraryFile.empty()) {
            if (libraryFile.size() > ovra::LIBRARY_FILE_MAX_BYTES)
                return fail("the library file's path is too long");
            settings.libraryFile = libraryFile;
        }
        if (allGenres) {
            settings.genrepolicy = GENRES_ALL;
        } else if (onlyGiven->count() > 0) {
            settings.genrepolicy = GENRES_ONLY_GOOD;
            settings.goodgenres = onlyGenres;
        } else {
            settings.genrepolicy = GENRES_SKIP_BAD;
            settings.badgenres = skipGiven->count() > 0 ? skipGenres : DEFAULT_BADGENRES;
        }
        if (settings.badgenres.size() > ovra::GENRE_LIST_MAX_BYTES ||
            settings.goodgenres.size() > ovra::GENRE_LIST_MAX_BYTES)
            return fail("a genre list has at most " + std::to_string(ovra::GENRE_LIST_MAX_BYTES) + " bytes");
        settings.overwriteOptionNames = {"--overwrite-bpm", "--overwrite-times", "--overwrite-volume"};
        settings.jobs = jobs;
        // The saved mappings, then the command line's: for one prefix the later folder counts.
        try {
            ovra::PreferenceStore store(nullptr, true);
            settings.locationMaps = loadLocationMaps(store);
        } catch (int) {
            settings.locationMaps.clear(); // no settings file: none saved
        }
        for (const std::string& spec : locationMaps) {
            ovra::LocationMap check;
            std::string why = check.add(spec);
            if (!why.empty())
                return fail("--map-location '" + spec + "': " + why);
            settings.locationMaps.push_back(spec);
        }
        return true;
    }

    static constexpr int MAX_JOBS = 256;
    const CliPaths& paths;
    int jobs = int(std::clamp(std::thread::hardware_concurrency(), 1u, unsigned(MAX_JOBS)));
    bool library = false;
    bool quiet = false;
    bool list = false;
    bool verbose = false;
    CLI::Option* jsonOption = nullptr; // registered with --analyze, taken by a batch too
    std::string replaygain;            // "track", "album", or empty: none
    std::string playlist;
    std::string libraryFile;
    std::vector<std::string> locationMaps;
    BatchOptions options;
    bool allGenres = false;
    std::string skipGenres;
    std::string onlyGenres;
    CLI::Option* skipGiven = nullptr;
    CLI::Option* onlyGiven = nullptr;
    CLI::Option* playlistGiven = nullptr;
};

} // namespace

std::unique_ptr<CliCommand> makeBatchCommand(const CliPaths& paths) { return std::make_unique<BatchCommand>(paths); }

} // namespace ovra::tempix::cli
