// One update of one file, staged in memory and written as a whole.
//
// Every tag write goes through this layer. Opening reads nothing into
// memory: the edits (overwrites, inserts, removals, moves, truncation) are
// kept as a piece table over the original file, so they compose and reads
// see the staged state. Nothing touches the file until commit().
//
// Why a rollback journal and writes in place, not a new file renamed over
// the old one: a renamed copy is a new inode, so it splits hard links, needs
// the owner, group, mode and extended attributes copied (the owner cannot
// be kept at all without privileges), replaces a symlink by a regular file
// and leaves a stray temporary beside the track when killed. In place, the
// track keeps its identity; the journal (outside the music folder) holds
// the original bytes of every range that will change, so an interrupted
// commit is undone at once or by the next Tempix program that starts
// (recoverinterruptedwrites), and a full disk fails when the file is
// extended, before any original byte is overwritten.
#pragma once
#include "platform/ErrorCodes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace ovra {

class WriteJournal;

// A staged update of one file. One thread at a time; separate objects
// (other tracks) may be used on other threads at once.
class FileTransaction {
public:
    FileTransaction() = default;
    ~FileTransaction(); // discards what was not committed
    FileTransaction(const FileTransaction&) = delete;
    FileTransaction& operator=(const FileTransaction&) = delete;

    // Opens the file read-only, following symbolic links: the real file is
    // the one updated. Throws errno or FILE_ERR_NOT_REGULAR.
    void open(const char* path);
    // The same, throwing failure for any reason the file cannot be opened.
    void open(const char* path, int failure);
    void close();
    bool isopen() const { return fd >= 0; }
    const std::string& path() const { return realPath; }

    int64_t length() const { return stagedLength; }
    int64_t originalLength() const { return baseStat.st_size; }
    // Reads the staged state; returns the bytes read (fewer at the end).
    size_t read(int64_t pos, void* buffer, size_t n) const;
    // Reads exactly n bytes of the staged state or throws FILE_ERR_RANGE.
    void readall(int64_t pos, void* buffer, size_t n) const;
    // Reads the file as it is on disk (the state before the staged edits).
    void readoriginal(int64_t pos, void* buffer, size_t n) const;

    // Edits of the staged state. Writes and moves past the end leave zero
    // bytes in between; inserts and removals must lie within the file.
    void write(int64_t pos, const void* data, size_t n); // overwrites, extending at the end
    void insert(int64_t pos, const void* data, size_t n);
    void remove(int64_t pos, int64_t n);
    void replace(int64_t pos, int64_t removed, const void* data, size_t n);
    // Copies n bytes from 'from' to 'to' (overlaps allowed), overwriting.
    void move(int64_t to, int64_t from, int64_t n);
    void truncate(int64_t newLength); // shrinks, or extends with zero bytes

    // Whether [pos, pos + n) of the staged state is the original byte range
    // [originalPos, originalPos + n), unmoved or moved as a whole.
    bool isoriginal(int64_t pos, int64_t originalPos, int64_t n) const;
    // Where the original byte at originalPos now lies, or -1 when it was
    // overwritten or removed.
    int64_t whereis(int64_t originalPos) const;

    // Whether the staged state differs from the file in its layout.
    bool changed() const;
    // Writes the staged state to the file as one update that an
    // interruption cannot leave half done. Throws errno (13 read-only,
    // 28 disk full, 5 I/O), FILE_ERR_CHANGED; the file is then as it was.
    // Afterwards the committed state is the new original.
    void commit();
    // Forgets the staged edits.
    void discard();

    // Bytes written to the track and to the journal by the last commit.
    struct Cost {
        int64_t trackBytes = 0;
        int64_t journalBytes = 0;
    };
    Cost lastcost() const { return cost; }

private:
    struct Piece {
        int64_t from = 0; // offset in its source
        int64_t length = 0;
        int32_t source = -1; // -1 the original file, -2 zero bytes, else a staged buffer
    };
    struct Range {
        int64_t pos = 0;
        int64_t length = 0;
    };

    size_t splitat(int64_t pos);
    void splice(int64_t pos, int64_t removed, std::vector<Piece> with);
    std::vector<Piece> slice(int64_t pos, int64_t n) const;
    void readpiece(const Piece& p, int64_t offset, uint8_t* out, size_t n) const;
    std::vector<Range> changedranges() const;
    void reset();
    void readdisk(int64_t pos, uint8_t* buffer, size_t n) const;

    int fd = -1;
    std::string realPath;
    struct stat baseStat {};
    std::vector<Piece> pieces;
    std::vector<std::vector<uint8_t>> staged;
    int64_t stagedLength = 0;
    Cost cost;
    const WriteJournal* activeJournal = nullptr; // during a commit
    mutable std::vector<uint8_t> window;         // bytes of the file at windowPos
    mutable int64_t windowPos = 0;
};

// After a commit of this thread failed and could not be undone either: the
// journal that keeps the track's original bytes (the track is half-written
// until it is restored). Empty after every other commit.
std::string halfwrittenjournal();

// Test hook: stop every update after its k-th write-type call (pwrite,
// ftruncate, fallocate, fsync, rename, unlink), either failing that call
// with an errno or ending the process on the spot as a kill would (a write
// is then cut in half first). Never set outside tests.
struct WriteFault {
    enum class Mode { none, fail, die, pause }; // pause: stop the process (SIGSTOP), then go on
    Mode mode = Mode::none;
    int after = 0;       // write-type calls that succeed first
    int error = 5;       // errno of a failed call
    bool sticky = false; // fail every call from then on, not just one
};
void setwritefault(const WriteFault& fault);
// The same from the environment variable TEMPIX_WRITE_FAULT ("die:K",
// "pause:K", "fail:K:ERRNO" or "fail:K:ERRNO:sticky"), for tests that stop
// a real tempix-cli inside its update.
void setwritefaultfromenvironment();
// Write-type calls made since the hook was last set.
int writecalls();
// Test hook: records every write-type call as "KIND PATH" (write, truncate,
// allocate, flush, rename, unlink), so that a test can check their order.
void tracewrites(bool on);
std::vector<std::string> writetrace();

} // namespace ovra
