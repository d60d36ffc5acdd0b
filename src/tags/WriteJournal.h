// The rollback journal of one file update, and the recovery that replays
// the journals an interrupted update left behind.
//
// A journal lives in the journal folder beside the log (never in the music
// folder). It holds the track's identity (real path, device, inode), its
// length before and after, the original bytes of every range the update
// overwrites or cuts off, a checksum and an end mark. It is written under a
// ".partial" name, made durable, and only then renamed to ".journal": a
// journal under its final name is always complete, and the track is not
// touched before it is. The writer holds an flock on it until the update is
// done and the journal removed, so no other Tempix process replays a
// journal whose update is still running.
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

class WriteJournal {
public:
    struct Range {
        int64_t pos = 0;        // offset in the track
        int64_t length = 0;
        int64_t journalPos = 0; // offset of the saved bytes in the journal
    };

    WriteJournal() = default;
    ~WriteJournal(); // closes the journal; its file stays unless removed
    WriteJournal(const WriteJournal&) = delete;
    WriteJournal& operator=(const WriteJournal&) = delete;

    // Saves the original bytes of the ranges (sorted, apart) of the track
    // open on trackFd, durably, under the journal's final name. Throws errno;
    // nothing is left behind then.
    void create(const std::string& trackPath, const struct stat& track, int trackFd, int64_t newLength,
                const std::vector<Range>& ranges);
    // Reads saved original bytes: 0 or errno. [pos, pos + n) must lie in one range.
    int readsaved(int64_t pos, void* buffer, size_t n) const;
    const std::vector<Range>& ranges() const { return saved; }
    // Puts the original bytes and length back into the track and syncs it: 0 or errno.
    int restore(int trackFd) const;
    // Removes the journal for good: 0 or errno.
    int remove();
    int64_t size() const { return bytes; }

    // Reads a journal file (the descriptor stays the caller's); false when
    // it is incomplete or damaged.
    bool load(int journalFd);
    const std::string& trackpath() const { return track; }
    uint64_t device() const { return dev; }
    uint64_t inode() const { return ino; }
    int64_t oldlength() const { return oldLength; }
    int64_t newlength() const { return newLength; }

private:
    int fd = -1;
    bool owned = false;
    std::string name;
    std::string track;
    uint64_t dev = 0;
    uint64_t ino = 0;
    int64_t oldLength = 0;
    int64_t newLength = 0;
    int64_t bytes = 0;
    std::vector<Range> saved;
};

// Replays every complete journal whose update is not running any more
// (the track gets its original bytes and length back) and drops the
// incomplete ones (their track was never touched). report gets one
// sentence, with its line feed, for each track restored or left alone.
// Returns the number of tracks restored.
int recoverinterruptedwrites(const std::function<void(const char*)>& report);
// The same, each sentence appended to the log file "Tempix.log" and, when
// echo is not null, printed there too. Every Tempix program calls it first.
int recoverinterruptedwrites(FILE* echo);

} // namespace ovra
