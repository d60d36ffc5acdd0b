// The rollback journal of one file update, and the recovery that replays
// the journals an interrupted update left behind.
//
// Journals live in the journal folder beside the log (never in the music
// folder), in slot files that are used again and again: an idle slot is
// empty. A journal holds the track's identity (real path, device, inode),
// its length before and after, the original bytes of every range the update
// overwrites or cuts off, a hash of the bytes the update leaves there, a
// checksum and an end mark. The writer holds an flock on its slot for the
// whole update, so no other Tempix process replays a running update.
//
// Each update costs two flushes: the journal before the track is touched,
// the track before the journal is emptied. The emptying itself is not
// flushed: a journal that comes back after a power loss finds the track
// complete (the hash matches) and is dropped, or finds it partly written
// and restores it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace ovra {

// Where journals are kept: "journal" in the log folder, created when missing.
std::string journalfolder();

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

    WriteJournal() = default;
    ~WriteJournal(); // gives the slot back (unlocked); its content stays unless released
    WriteJournal(const WriteJournal&) = delete;
    WriteJournal& operator=(const WriteJournal&) = delete;

    // Saves the original bytes of the ranges (sorted, apart) of the track
    // open on trackFd, and the hash of what the update will leave in them
    // (see updatedhash), durably in a free slot. Throws errno; the slot is
    // then empty again.
    void begin(const std::string& trackPath, const struct stat& track, int trackFd, int64_t newLength,
               const std::vector<Range>& ranges, uint64_t newHash);
    // Reads saved original bytes: 0 or errno. [pos, pos + n) must lie in one range.
    int readsaved(int64_t pos, void* buffer, size_t n) const;
    const std::vector<Range>& ranges() const { return saved; }
    // Puts the original bytes and length back into the track and syncs it: 0 or errno.
    int restore(int trackFd) const;
    // Empties the slot: the update is complete or undone. 0 or errno.
    int release();
    int64_t size() const { return bytes; }

    // The ranges whose bytes the hash of an update covers: the saved ranges
    // cut at the new length, and what the update appends.
    static std::vector<Range> updatedranges(const std::vector<Range>& saved, int64_t oldLength, int64_t newLength);

    // Reads a journal (the descriptor stays the caller's); false when it is
    // empty, incomplete or damaged.
    bool load(int journalFd);
    const std::string& trackpath() const { return track; }
    uint64_t device() const { return dev; }
    uint64_t inode() const { return ino; }
    int64_t oldlength() const { return oldLength; }
    int64_t newlength() const { return newLength; }
    uint64_t updatedhash() const { return newHash; }

private:
    void acquire(const std::string& folder);

    int fd = -1;
    bool owned = false;
    std::string track;
    uint64_t dev = 0, ino = 0;
    int64_t oldLength = 0, newLength = 0;
    uint64_t newHash = 0;
    int64_t bytes = 0;
    std::vector<Range> saved;
};

// Replays every complete journal whose update is not running any more:
// a track left partly written gets its original bytes and length back, a
// journal whose update is complete is dropped; incomplete journals are
// dropped (their track was never touched). report gets one sentence, with
// its line feed, for each track restored or left alone. Returns the number
// of tracks restored.
int recoverinterruptedwrites(const std::function<void(const char*)>& report);
// The same, each sentence appended to the log file "Tempix.log" and, when
// echo is not null, printed there too. Every Tempix program calls it first.
int recoverinterruptedwrites(FILE* echo);

} // namespace ovra
