#include "batch/TrackReader.h"
#include "batch/GenreSet.h"
#include "platform/Threads.h"
#include "tags/VolumeScale.h"
#include "tags/WriteJournal.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {

constexpr size_t GENRE_SIZE = GENRE_NAME_MAX_BYTES + 1;

// The kind of a file that is not a regular one, for the log.
const char* fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

} // namespace

void TrackReader::begin()
{
    genreSet.clear();
    if (settings.genrepolicy == GENRES_SKIP_BAD)
        genreSet = buildGenreSet(settings.badgenres.c_str());
    else if (settings.genrepolicy == GENRES_ONLY_GOOD)
        genreSet = buildGenreSet(settings.goodgenres.c_str());
}

bool TrackReader::claimTrack(TrackState& t, const BatchOptions& options, ovra::Canceler& canceler)
{
    if (t.lock.lock(
            t.path, [&] { log.status("Waiting for another Tempix that is updating this track"); },
            [&] { return canceler.iscancelled(); }) != 0)
        return true; // missing or unreadable: the tag's own open says so
    char* real = ::realpath(t.path, nullptr);
    if (real == nullptr)
        return true;
    const std::string realPath = real;
    std::free(real);
    std::string why;
    if (options.dryRun) {
        if (!ovra::journalpending(realPath))
            return true;
        log.fail("Track left as it is: an interrupted update of it is not settled yet; a run without --dry-run "
                 "settles it first.\n");
        return false;
    }
    const ovra::JournalOutcome outcome = ovra::settletrackjournal(
        realPath, [&](const char* line) { log.line("%s", line); }, why);
    if (outcome != ovra::JournalOutcome::kept && outcome != ovra::JournalOutcome::busy)
        return true;
    // Never called up to date, nor written over, until the journal is settled.
    if (outcome == ovra::JournalOutcome::busy)
        why = "its journal is in use by another Tempix";
    log.fail("Track left as it is: it may be damaged by an interrupted update; %s.\n", why.c_str());
    return false;
}

bool TrackReader::read(TrackState& t, const BatchOptions& options, ovra::Canceler& canceler)
{
    // stat, not open: opening a pipe or a device may block or act on it.
    struct stat st;
    const int found = stat(t.path, &st) == 0 ? 0 : errno;
    if (found == 0 && !S_ISREG(st.st_mode)) {
        log.fail("Not a regular file (%s): skipping this track.\n", fileKind(st.st_mode));

        return false;
    }
    if (found == 0 && !claimTrack(t, options, canceler))
        return false;
    if (!openTrack(t, found) || !passesGenreFilter(*t.tag))
        return false;
    readValues(t, options);
    if (!t.library.ambiguity.empty()) {
        // Which track the library means cannot be told: never guess.
        log.fail("Track left as it is: its entry in the iTunes library is ambiguous (%s) [track ID=%d].\n",
                 t.library.ambiguity.c_str(), t.trackId);

        return false;
    }
    return true;
}

bool TrackReader::openTrack(TrackState& t, int found)
{
    // Missing or unreadable: the tag's own open says so.
    log.status("Checking track metadata");
    try {
        t.tag = hooks.openTrackTag(t.path);
    } catch (int) {
        t.tag.reset(); // logged below
    }
    if (!t.tag) {
        log.fail("Could not read metadata for this track.\n");
        if (TrackReport_auto* report = BatchLog::track())
            report->setunreadable(t.path, found);
        // Gone, or a name too long: not a damaged file.
        if (found == ENOENT)
            log.line("File not found: '%s'.\n", BatchLog::logged(t.path).c_str());
        else if (found != 0)
            log.errorwords(found);
        return false;
    }
    return true;
}

void TrackReader::readValues(TrackState& t, const BatchOptions& options)
{
    try {
        t.tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, t.stored, sizeof t.stored);
        t.hasRecord = TrackDataRecord::decode(t.stored, t.record);
    } catch (...) {
        t.hasRecord = false; // none, or one we cannot read: nothing is ours
    }
    try {
        t.tagBpm = t.tag->getBPM();
    } catch (...) {
        t.tagBpm = 0; // none, or unreadable: as if none
    }
    try {
        t.tagRva = t.tag->getRVA();
        t.rvaReadable = true;
    } catch (int code) {
        t.tagRva = 0;
        t.volumeUnreadable = code == ovra::TAG_ERR_UNUSABLE;
    }
    if (options.replaygain != ReplayGainMode::off) {
        try {
            t.replayGain = t.tag->getReplayGain();
            t.replayGainReadable = true;
        } catch (int) {
            t.replayGainReadable = false; // a tag that cannot hold them, or one we cannot read: left alone
        }
        if (options.replaygain == ReplayGainMode::album) {
            t.album = AlbumGains::key(t.path, *t.tag);
            albums.note(t);
        }
    }

    // What the track holds now, for the results: the tag's tempo, the
    // library's times, and the volume where the track keeps it (the tag's,
    // else the library's).
    t.before.hasBpm = true;
    t.before.bpm = t.tagBpm;
    t.before.hasTimes = t.trackId >= 0;
    t.before.times = {t.library.start, t.library.stop};
    t.before.hasVolume = true;
    t.before.volume.value = t.tagRva;
    t.before.volume.libraryVolume = t.library.volume;
    t.before.volume.percent =
        t.rvaReadable ? ovra::rvatopercent(t.tagRva) : ovra::libraryvolumetopercent(t.library.volume);
}

bool TrackReader::passesGenreFilter(ovra::Tag& tag)
{
    const GenrePolicy policy = settings.genrepolicy;
    if (policy == GENRES_ALL)
        return true;
    char genre[GENRE_SIZE] = "";
    try {
        tag.getGenre(genre, sizeof genre);
    } catch (...) {
        genre[0] = '\0'; // no genre: compared as empty
    }
    genre[GENRE_SIZE - 1] = '\0';
    for (char* c = genre; *c != '\0'; ++c)
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    bool listed = genreSet.count(genre) != 0;
    if ((policy == GENRES_SKIP_BAD && listed) || (policy == GENRES_ONLY_GOOD && !listed)) {
        log.skip("Genre filter: skipping genre '%s'.\n", BatchLog::logged(genre).c_str());
        return false;
    }
    return true;
}

} // namespace ovra::tempix
