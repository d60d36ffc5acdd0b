// The rollback journal of one file update, and the recovery that settles
// the journals an interrupted update left behind.
//
// Journals live in the journal folder beside the log (never in the music
// folder), one file per track, named for a hash of the track's real path:
// a batch finds the journal of the track it is about to read in one look,
// and the name still points at the track when the journal's content is
// damaged. A journal holds the track's identity (real path, device, inode),
// its length before and after, the original bytes of every range the update
// overwrites or cuts off and the bytes the update leaves there, checksums of
// both, a checksum of the head and of the whole, and an end mark.
//
// Whether the track may already have been touched is kept outside the
// content, in the journal file's mode: a journal is armed (owner-execute
// bit set) in the same flush that makes its content durable, before the
// track is written. An unarmed journal belongs to an update that stopped
// before it touched its track; an armed one is settled, never dropped: it
// is replayed, or emptied once the track is proven to hold exactly the old
// or exactly the new bytes, or to have been changed by another program
// after the update finished. Anything else keeps it, and the track is
// reported on every run until the user forgets the journal.
//
// The writer holds an flock on its journal for the whole update, and the
// batch holds the track's lock (TrackLock) from its first read of the track
// to its last write, so no other Tempix process settles a running update.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace ovra {

// Where journals are kept: "journal" in the log folder.
std::string journalfolder();
// Creates the journal folder when missing and flushes the folder above it:
// 0, or FILE_ERR_JOURNAL with journalproblem() telling why.
int preparejournalfolder();
// Why the journal folder or a journal could not be used, in words, for the
// last FILE_ERR_JOURNAL of this thread.
std::string journalproblem();
// The journal file of the track with this real path.
std::string journalpath(const std::string& realPath);

// A 64-bit hash of a byte stream, fed in pieces of any size.
class StreamHash {
public:
    void add(const void* data, size_t n);
    uint64_t value() const;

private:
    uint64_t h = 0xcbf29ce484222325ULL;
    uint64_t pending = 0;
    int pendingBytes = 0;
    uint64_t total = 0;
};

class WriteJournal {
public:
    struct Range {
        int64_t pos = 0; // offset in the track
        int64_t length = 0;
        int64_t journalPos = 0; // offset of the saved bytes in the journal
    };
    // Reads n bytes of the track as the update leaves them, at pos.
    using NewBytes = std::function<void(int64_t pos, void* buffer, size_t n)>;

    WriteJournal() = default;
    ~WriteJournal(); // unlocks the journal; its content stays unless released
    WriteJournal(const WriteJournal&) = delete;
    WriteJournal& operator=(const WriteJournal&) = delete;

    // Saves the original bytes of the ranges (sorted, apart) of the track
    // open on trackFd and the bytes the update leaves in them (and appends),
    // durably and armed, in the track's journal. Throws errno,
    // FILE_ERR_JOURNAL (see journalproblem) or FILE_ERR_PENDING when the
    // track's journal holds an update that is not settled; the track is
    // untouched then.
    void begin(const std::string& trackPath, const struct stat& track, int trackFd, int64_t newLength,
               const std::vector<Range>& ranges, const NewBytes& updated);
    // Reads saved original bytes: 0 or errno. [pos, pos + n) must lie in one range.
    int readsaved(int64_t pos, void* buffer, size_t n) const;
    const std::vector<Range>& ranges() const { return saved; }
    // Puts the original bytes and length back into the track and syncs it: 0 or errno.
    int restore(int trackFd) const;
    // Removes the journal durably: the update is complete or undone. 0 or errno.
    int release();
    int64_t size() const { return bytes; }
    const std::string& file() const { return journalFile; }

    // The ranges whose bytes the update leaves: the saved ranges cut at the
    // new length, and what the update appends.
    static std::vector<Range> updatedranges(const std::vector<Range>& saved, int64_t oldLength, int64_t newLength);

    const std::string& trackpath() const { return track; }
    uint64_t inode() const { return ino; }
    int64_t oldlength() const { return oldLength; }
    int64_t newlength() const { return newLength; }

private:
    void acquire(const std::string& folder, const std::string& name);
    friend class JournalReader;

    int fd = -1;
    bool owned = false;
    std::string journalFile;
    std::string track;
    uint64_t dev = 0, ino = 0;
    int64_t oldLength = 0, newLength = 0;
    int64_t bytes = 0;
    std::vector<Range> saved;
};

// What became of a journal that was looked at.
enum class JournalOutcome {
    none,     // no journal, or an idle one
    busy,     // its update is running in another process
    emptied,  // settled without touching the track
    restored, // the track got its original bytes back
    kept,     // not settled: the track may be damaged, or is away
};

// Settles every journal whose update is not running any more (see the top
// of this file). report gets each sentence, with its line feed. Returns the
// number of tracks restored.
int recoverinterruptedwrites(const std::function<void(const char*)>& report);
// The same, each sentence appended to the log file "Tempix.log" and, when
// echo is not null, printed there too. Every Tempix program calls it first.
int recoverinterruptedwrites(FILE* echo);
// Settles the journal of the track with this real path, if it has one,
// before the track is read for a decision. The caller holds the track's
// lock (TrackLock). report gets each sentence; why, for a journal that is
// kept, says in a few words what stops it.
JournalOutcome settletrackjournal(const std::string& realPath, const std::function<void(const char*)>& report,
                                  std::string& why);

// Whether the track with this real path has a journal that is not settled
// (looked at only: a dry run settles nothing).
bool journalpending(const std::string& realPath);

// A journal that is not settled, as listed for the user.
struct PendingJournal {
    std::string file;  // the journal file
    std::string track; // the track's path; empty when the journal cannot tell
    std::string state; // in words
};
std::vector<PendingJournal> pendingjournals();
// Forgets the journal whose file, track path or track's real path is path,
// and says so in the log: the track stays as it is. 0, ENOENT when there is
// none, EBUSY while its update runs, or errno.
int discardjournal(const std::string& path, std::string& forgotten);

} // namespace ovra
