// The piece table of a staged update and its commit through a journal.
#include "tags/FileTransaction.h"
#include "tags/FaultableIO.h"
#include "tags/TrackLock.h"
#include "tags/WriteJournal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ovra {

namespace {
thread_local std::string halfWritten;
constexpr int32_t ORIGINAL = -1;
constexpr int32_t ZEROS = -2;
// Granularity of the comparison that keeps rewritten but equal bytes out
// of the update, and the size of one write.
constexpr int64_t COMPARE_BLOCK = 4096;
constexpr size_t WRITE_CHUNK = 1 << 20;
constexpr int64_t READ_WINDOW = 1 << 16;

bool samefile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
        a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
        a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
} // namespace

FileTransaction::~FileTransaction() { close(); }

std::string halfwrittenjournal() { return halfWritten; }

void FileTransaction::open(const char* path, int failure)
{
    try {
        open(path);
    } catch (int) {
        throw failure;
    }
}

void FileTransaction::open(const char* path)
{
    close();
    // Non-blocking, so that a FIFO under a track's name cannot hang us.
    int f = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f < 0)
        throw int(errno);
    fd_auto guard(f);
    struct stat st;
    if (::fstat(f, &st) != 0)
        throw int(errno);
    if (!S_ISREG(st.st_mode))
        throw FILE_ERR_NOT_REGULAR;
    char* real = ::realpath(path, nullptr);
    if (real == nullptr)
        throw int(errno);
    realPath = real;
    std::free(real);
    baseStat = st;
    fd = guard.fd;
    guard.fd = -1;
    reset();
}

void FileTransaction::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    pieces.clear();
    staged.clear();
    window.clear();
    stagedLength = 0;
}

void FileTransaction::reset()
{
    window.clear();
    pieces.clear();
    staged.clear();
    stagedLength = baseStat.st_size;
    if (stagedLength > 0)
        pieces.push_back({0, stagedLength, ORIGINAL});
}

void FileTransaction::discard()
{
    if (fd >= 0)
        reset();
}

// ---- the piece table --------------------------------------------------------------

// Makes pos the start of a piece; returns that piece's index (pieces.size()
// at the end).
size_t FileTransaction::splitat(int64_t pos)
{
    int64_t at = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (at == pos)
            return i;
        if (pos < at + pieces[i].length) {
            Piece tail = pieces[i];
            int64_t head = pos - at;
            pieces[i].length = head;
            tail.from += tail.source == ZEROS ? 0 : head;
            tail.length -= head;
            pieces.insert(pieces.begin() + std::ptrdiff_t(i) + 1, tail);
            return i + 1;
        }
        at += pieces[i].length;
    }
    return pieces.size();
}

void FileTransaction::splice(int64_t pos, int64_t removed, std::vector<Piece> with)
{
    if (fd < 0)
        throw EBADF;
    if (pos < 0 || removed < 0 || pos > stagedLength || removed > stagedLength - pos)
        throw FILE_ERR_RANGE;
    size_t i = splitat(pos);
    size_t j = splitat(pos + removed);
    pieces.erase(pieces.begin() + std::ptrdiff_t(i), pieces.begin() + std::ptrdiff_t(j));
    int64_t added = 0;
    for (const Piece& p : with)
        added += p.length;
    with.erase(std::remove_if(with.begin(), with.end(), [](const Piece& p) { return p.length == 0; }), with.end());
    pieces.insert(pieces.begin() + std::ptrdiff_t(i), with.begin(), with.end());
    stagedLength += added - removed;
    // Neighbours that continue each other become one piece again.
    std::vector<Piece> merged;
    for (const Piece& p : pieces) {
        if (!merged.empty()) {
            Piece& last = merged.back();
            if (last.source == p.source && (p.source == ZEROS || last.from + last.length == p.from)) {
                last.length += p.length;
                continue;
            }
        }
        merged.push_back(p);
    }
    pieces.swap(merged);
}

std::vector<FileTransaction::Piece> FileTransaction::slice(int64_t pos, int64_t n) const
{
    std::vector<Piece> out;
    int64_t at = 0;
    for (const Piece& p : pieces) {
        int64_t lo = std::max(at, pos), hi = std::min(at + p.length, pos + n);
        if (lo < hi)
            out.push_back({p.source == ZEROS ? 0 : p.from + (lo - at), hi - lo, p.source});
        at += p.length;
        if (at >= pos + n)
            break;
    }
    return out;
}

void FileTransaction::readpiece(const Piece& p, int64_t offset, uint8_t* out, size_t n) const
{
    if (p.source == ZEROS) {
        std::memset(out, 0, n);
    } else if (p.source == ORIGINAL) {
        readoriginal(p.from + offset, out, n);
    } else {
        std::memcpy(out, staged[size_t(p.source)].data() + p.from + offset, n);
    }
}

size_t FileTransaction::read(int64_t pos, void* buffer, size_t n) const
{
    if (fd < 0)
        throw EBADF;
    if (pos < 0)
        throw FILE_ERR_RANGE;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    int64_t at = 0;
    for (const Piece& p : pieces) {
        int64_t want = pos + int64_t(done);
        if (done == n)
            break;
        if (want < at + p.length) {
            int64_t offset = want - at;
            size_t take = size_t(std::min<int64_t>(p.length - offset, int64_t(n - done)));
            readpiece(p, offset, out + done, take);
            done += take;
        }
        at += p.length;
    }
    return done;
}

void FileTransaction::readall(int64_t pos, void* buffer, size_t n) const
{
    if (read(pos, buffer, n) != n)
        throw FILE_ERR_RANGE;
}

void FileTransaction::readoriginal(int64_t pos, void* buffer, size_t n) const
{
    if (fd < 0)
        throw EBADF;
    auto* out = static_cast<uint8_t*>(buffer);
    if (activeJournal != nullptr) {
        // During a commit, whatever was saved comes from the journal.
        for (const WriteJournal::Range& r : activeJournal->ranges()) {
            int64_t lo = std::max(pos, r.pos), hi = std::min(pos + int64_t(n), r.pos + r.length);
            if (lo >= hi)
                continue;
            if (pos < lo)
                readdisk(pos, out, size_t(lo - pos));
            if (int e = activeJournal->readsaved(lo, out + (lo - pos), size_t(hi - lo)))
                throw e;
            if (hi < pos + int64_t(n))
                readoriginal(hi, out + (hi - pos), size_t(pos + int64_t(n) - hi));
            return;
        }
    }
    readdisk(pos, out, n);
}

void FileTransaction::readdisk(int64_t pos, uint8_t* buffer, size_t n) const
{
    // Atom and frame walks read a few bytes at a time: small reads come
    // from a window of the file read once.
    if (n < READ_WINDOW / 2) {
        if (pos < windowPos || pos + int64_t(n) > windowPos + int64_t(window.size())) {
            windowPos = pos & ~int64_t(4095);
            window.resize(size_t(std::max<int64_t>(0, std::min<int64_t>(READ_WINDOW, baseStat.st_size - windowPos))));
            int e = window.empty() ? -1 : iopread(fd, window.data(), window.size(), windowPos);
            if (e != 0) {
                window.clear();
                throw int(e < 0 ? int(FILE_ERR_CHANGED) : e);
            }
        }
        if (pos + int64_t(n) <= windowPos + int64_t(window.size())) {
            std::memcpy(buffer, window.data() + (pos - windowPos), n);
            return;
        }
    }
    int e = iopread(fd, buffer, n, pos);
    if (e < 0)
        throw FILE_ERR_CHANGED; // the file is shorter than when it was opened
    if (e > 0)
        throw e;
}

void FileTransaction::write(int64_t pos, const void* data, size_t n)
{
    if (pos < 0)
        throw FILE_ERR_RANGE;
    if (pos > stagedLength)
        truncate(pos);
    replace(pos, std::min<int64_t>(int64_t(n), stagedLength - pos), data, n);
}

void FileTransaction::insert(int64_t pos, const void* data, size_t n) { replace(pos, 0, data, n); }

void FileTransaction::remove(int64_t pos, int64_t n) { splice(pos, n, {}); }

void FileTransaction::replace(int64_t pos, int64_t removed, const void* data, size_t n)
{
    std::vector<Piece> with;
    if (n > 0) {
        const auto* p = static_cast<const uint8_t*>(data);
        staged.emplace_back(p, p + n);
        with.push_back({0, int64_t(n), int32_t(staged.size() - 1)});
    }
    splice(pos, removed, std::move(with));
}

void FileTransaction::move(int64_t to, int64_t from, int64_t n)
{
    if (n == 0 || to == from)
        return;
    if (n < 0 || from < 0 || from > stagedLength - n || to < 0)
        throw FILE_ERR_RANGE;
    // The source pieces are taken before anything is overwritten, so
    // overlapping ranges move as if through a buffer. A move past the end
    // leaves zero bytes in between, as a write past the end of a file does.
    std::vector<Piece> source = slice(from, n);
    if (to > stagedLength)
        truncate(to);
    splice(to, std::min(n, stagedLength - to), std::move(source));
}

void FileTransaction::truncate(int64_t newLength)
{
    if (newLength < 0)
        throw FILE_ERR_RANGE;
    if (newLength < stagedLength)
        splice(newLength, stagedLength - newLength, {});
    else if (newLength > stagedLength)
        splice(stagedLength, 0, {{0, newLength - stagedLength, ZEROS}});
}

bool FileTransaction::isoriginal(int64_t pos, int64_t originalPos, int64_t n) const
{
    if (n == 0)
        return true;
    int64_t expect = originalPos;
    int64_t covered = 0;
    for (const Piece& p : slice(pos, n)) {
        if (p.source != ORIGINAL || p.from != expect)
            return false;
        expect += p.length;
        covered += p.length;
    }
    return covered == n;
}

int64_t FileTransaction::whereis(int64_t originalPos) const
{
    int64_t at = 0;
    for (const Piece& p : pieces) {
        if (p.source == ORIGINAL && originalPos >= p.from && originalPos < p.from + p.length)
            return at + (originalPos - p.from);
        at += p.length;
    }
    return -1;
}

bool FileTransaction::changed() const
{
    if (fd < 0)
        return false;
    if (stagedLength != baseStat.st_size)
        return true;
    return !isoriginal(0, 0, stagedLength);
}

// ---- commit -------------------------------------------------------------------------

// The ranges of the file (in file offsets) whose bytes the update changes:
// staged bytes that differ from what is on disk at the same offset, and
// the tail cut off by a shrink. Equal bytes are left out, block by block.
std::vector<FileTransaction::Range> FileTransaction::changedranges() const
{
    std::vector<Range> out;
    auto add = [&](int64_t pos, int64_t n) {
        if (!out.empty() && out.back().pos + out.back().length == pos)
            out.back().length += n;
        else
            out.push_back({pos, n});
    };
    const int64_t oldLength = baseStat.st_size;
    std::vector<uint8_t> mine(COMPARE_BLOCK), theirs(COMPARE_BLOCK);
    int64_t at = 0;
    for (const Piece& p : pieces) {
        if (!(p.source == ORIGINAL && p.from == at)) {
            for (int64_t b = at; b < at + p.length;) {
                int64_t blockEnd = std::min({at + p.length, (b / COMPARE_BLOCK + 1) * COMPARE_BLOCK});
                int64_t n = blockEnd - b;
                bool differs = b + n > oldLength;
                if (!differs) {
                    readpiece(p, b - at, mine.data(), size_t(n));
                    readoriginal(b, theirs.data(), size_t(n));
                    differs = std::memcmp(mine.data(), theirs.data(), size_t(n)) != 0;
                }
                if (differs)
                    add(b, n);
                b = blockEnd;
            }
        }
        at += p.length;
    }
    if (stagedLength < oldLength)
        add(stagedLength, oldLength - stagedLength);
    return out;
}

void FileTransaction::commit()
{
    halfWritten.clear();
    if (!changed())
        return;
    cost = Cost();
    const int64_t oldLength = baseStat.st_size;
    std::vector<Range> writes = changedranges();
    if (writes.empty() && stagedLength == oldLength) {
        reset();
        return;
    }

    // Opened for writing only now: a read-only track is read like any other
    // and fails here, with its errno, before anything is written.
    fd_auto out(::open(realPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (out.fd < 0)
        throw int(errno);
    struct stat now;
    if (::fstat(out.fd, &now) != 0)
        throw int(errno);
    // A batch holds the track's lock already (another descriptor of ours
    // would wait for it); anyone else takes it for the write.
    if (!TrackLock::heldbythisthread(now.st_dev, now.st_ino) &&
        (::flock(out.fd, LOCK_EX) != 0 || ::fstat(out.fd, &now) != 0))
        throw int(errno);
    // Staged pieces point into the file as it was; if it changed meanwhile
    // (another program, another Tempix), they no longer mean what they did.
    if (!samefile(now, baseStat))
        throw FILE_ERR_CHANGED;

    std::vector<WriteJournal::Range> saved;
    for (const Range& r : writes) {
        int64_t end = std::min(r.pos + r.length, oldLength);
        if (r.pos < end)
            saved.push_back({r.pos, end - r.pos, 0});
    }
    // The journal keeps the bytes the update leaves as well, so that a
    // journal found later tells a half-done update from a finished one that
    // another program changed since.
    WriteJournal journal;
    journal.begin(realPath, baseStat, out.fd, stagedLength, saved,
                  [this](int64_t pos, void* buffer, size_t n) { readall(pos, buffer, n); });
    cost.journalBytes = journal.size();

    // Original bytes that the update overwrites are read back from the
    // journal from now on: a moved range may come from a place already written.
    struct JournalUse {
        const WriteJournal*& slot;
        ~JournalUse() { slot = nullptr; }
    } use{activeJournal};
    activeJournal = &journal;

    int e = 0;
    if (stagedLength > oldLength)
        e = iofallocate(out.fd, oldLength, stagedLength - oldLength);
    std::vector<uint8_t> chunk;
    for (const Range& r : writes) {
        if (e)
            break;
        for (int64_t done = 0; !e && done < r.length && r.pos + done < stagedLength;) {
            int64_t n = std::min<int64_t>({int64_t(WRITE_CHUNK), r.length - done, stagedLength - r.pos - done});
            chunk.resize(size_t(n));
            try {
                readall(r.pos + done, chunk.data(), size_t(n));
            } catch (int code) {
                e = code;
                break;
            }
            e = iopwrite(out.fd, chunk.data(), size_t(n), r.pos + done);
            cost.trackBytes += n;
            done += n;
        }
    }
    if (!e && stagedLength < oldLength)
        e = ioftruncate(out.fd, stagedLength);
    if (!e)
        e = iofsync(out.fd);
    activeJournal = nullptr;
    if (e) {
        // Undo at once; if even that fails, the journal stays for the next
        // start, and the caller is told that the track is half-written.
        if (journal.restore(out.fd) == 0)
            (void)journal.release(); // the track is whole again; a journal left behind is found so
        else
            halfWritten = journal.file();
        throw e;
    }
    // The track is complete on disk; the journal's removal is flushed before
    // the update counts as done. Should it fail, the journal is found later
    // with the track holding exactly the new bytes, and dropped then.
    (void)journal.release();

    if (::fstat(fd, &baseStat) != 0)
        throw int(errno);
    reset();
}

} // namespace ovra
