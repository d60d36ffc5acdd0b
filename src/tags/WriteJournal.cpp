// Journal files: written through the counted calls of FaultableIO, so a
// test can stop an update in the middle of its journal as well.
#include "tags/WriteJournal.h"
#include "tags/FaultableIO.h"
#include "tags/TrackLock.h"
#include "platform/ErrorCodes.h"
#include "platform/tools_paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ovra {

namespace {
constexpr char MAGIC[8] = {'T', 'P', 'X', 'J', 'R', 'N', 'L', '3'};
// Journals of the earlier format (no new bytes, no arming) are still settled.
constexpr char MAGIC_V2[8] = {'T', 'P', 'X', 'J', 'R', 'N', 'L', '2'};
constexpr char ENDMARK[8] = {'C', 'O', 'M', 'M', 'I', 'T', 'E', 'D'};
constexpr size_t BLOCK = 1 << 20;
constexpr int64_t FIXED_HEAD = 72; // the head up to the track's path
constexpr int64_t V2_HEAD = 56;
constexpr uint32_t MAX_PATH_LENGTH = 65536;
constexpr uint32_t MAX_RANGES = 1 << 20;
constexpr mode_t ARMED = S_IXUSR;

thread_local std::string lastProblem;

int problem(const std::string& words)
{
    lastProblem = words;
    return FILE_ERR_JOURNAL;
}

// Appends to the journal in large blocks from a given offset, hashing as it goes.
class JournalWriter {
public:
    JournalWriter(int fd, int64_t at) : fd(fd), at(at) { buffer.reserve(BLOCK); }
    int put(const void* data, size_t n)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        sum.add(p, n);
        while (n > 0) {
            size_t take = std::min(n, BLOCK - buffer.size());
            buffer.insert(buffer.end(), p, p + take);
            p += take;
            n -= take;
            if (buffer.size() == BLOCK)
                if (int e = flush())
                    return e;
        }
        return 0;
    }
    template <typename T>
    int value(T v)
    {
        return put(&v, sizeof v);
    }
    int flush()
    {
        if (buffer.empty())
            return 0;
        int e = iopwrite(fd, buffer.data(), buffer.size(), at);
        at += int64_t(buffer.size());
        buffer.clear();
        return e;
    }
    int64_t position() const { return at + int64_t(buffer.size()); }
    uint64_t checksum() const { return sum.value(); }

private:
    int fd;
    int64_t at;
    StreamHash sum;
    std::vector<uint8_t> buffer;
};

bool endswith(const std::string& s, const char* tail)
{
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Whether the name still leads to the file open on fd (not removed or replaced).
bool stillnamed(int fd, const std::string& name)
{
    struct stat mine, named;
    return ::fstat(fd, &mine) == 0 && ::lstat(name.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
        mine.st_dev == named.st_dev;
}

std::string folderof(const std::string& file) { return file.substr(0, file.rfind('/')); }

// Hash of the track's bytes in the ranges; false when they cannot be read.
bool hashtrack(int fd, const std::vector<WriteJournal::Range>& ranges, uint64_t& value)
{
    StreamHash h;
    std::vector<uint8_t> chunk(1 << 16);
    for (const WriteJournal::Range& r : ranges) {
        for (int64_t done = 0; done < r.length;) {
            size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), r.length - done));
            if (iopread(fd, chunk.data(), n, r.pos + done) != 0)
                return false;
            h.add(chunk.data(), n);
            done += int64_t(n);
        }
    }
    value = h.value();
    return true;
}

template <typename T>
T at(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
} // namespace

// ---- a journal as read back -----------------------------------------------------------

// What a journal file says, as far as it can be read.
class JournalReader {
public:
    WriteJournal journal;
    int version = 0;
    bool headOk = false;                      // the track's identity and the hashes can be trusted
    bool bodyOk = false;                      // the saved and the new bytes can be trusted too
    std::string damage;                       // why not, in words
    std::string salvaged;                     // a damaged head's track path, as far as it reads
    std::vector<WriteJournal::Range> updated; // the new bytes, where the journal keeps them
    uint64_t oldHash = 0, newHash = 0;

    void load(int fd);
    // Reads the bytes the update leaves at pos, within the new range u: 0 or errno.
    int readnew(const WriteJournal::Range& u, int64_t pos, void* buffer, size_t n) const
    {
        int e = iopread(journal.fd, buffer, n, u.journalPos + (pos - u.pos));
        return e < 0 ? EIO : e;
    }

private:
    bool loadv2(int fd, int64_t size);
    bool readtables(const std::vector<uint8_t>& head, int64_t& offset, uint32_t count,
                    std::vector<WriteJournal::Range>& out);
    bool verifybody(int fd, int64_t from, int64_t to);
};

bool JournalReader::readtables(const std::vector<uint8_t>& head, int64_t& offset, uint32_t count,
                               std::vector<WriteJournal::Range>& out)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (offset + 16 > int64_t(head.size()))
            return false;
        WriteJournal::Range r{at<int64_t>(&head[size_t(offset)]), at<int64_t>(&head[size_t(offset) + 8]), 0};
        if (r.pos < 0 || r.length < 0)
            return false;
        out.push_back(r);
        offset += 16;
    }
    return true;
}

bool JournalReader::verifybody(int fd, int64_t from, int64_t to)
{
    StreamHash sum;
    std::vector<uint8_t> chunk(1 << 16);
    for (int64_t pos = from; pos < to;) {
        size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), to - pos));
        if (iopread(fd, chunk.data(), n, pos) != 0)
            return false;
        sum.add(chunk.data(), n);
        pos += int64_t(n);
    }
    uint8_t tail[16];
    return iopread(fd, tail, sizeof tail, to) == 0 && std::memcmp(tail + 8, ENDMARK, 8) == 0 &&
        at<uint64_t>(tail) == sum.value();
}

void JournalReader::load(int fd)
{
    WriteJournal& j = journal;
    j.fd = fd; // the descriptor stays the caller's
    j.owned = false;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        damage = "it cannot be read";
        return;
    }
    const int64_t size = st.st_size;
    uint8_t fixed[FIXED_HEAD] = {};
    size_t got = size_t(std::min<int64_t>(size, FIXED_HEAD));
    if (got > 0 && iopread(fd, fixed, got, 0) != 0) {
        damage = "it cannot be read";
        return;
    }
    if (got >= 8 && std::memcmp(fixed, MAGIC_V2, 8) == 0) {
        version = 2;
        if (!loadv2(fd, size) && damage.empty())
            damage = "it is cut short or damaged";
        return;
    }
    version = 3;
    if (got < 8 || std::memcmp(fixed, MAGIC, 8) != 0) {
        damage = size < 8 ? "it is cut short" : "it does not begin as a journal does";
        return;
    }
    if (got < size_t(FIXED_HEAD)) {
        damage = "it is cut short";
        return;
    }
    const uint32_t pathLength = at<uint32_t>(fixed + 56), savedCount = at<uint32_t>(fixed + 60),
                   updatedCount = at<uint32_t>(fixed + 64);
    // Even a damaged head may still name its track.
    if (pathLength > 0 && pathLength <= MAX_PATH_LENGTH && FIXED_HEAD + pathLength <= size) {
        std::string p(pathLength, '\0');
        if (iopread(fd, p.data(), pathLength, FIXED_HEAD) == 0 && p[0] == '/' && p.find('\0') == std::string::npos)
            salvaged = p;
    }
    if (pathLength == 0 || pathLength > MAX_PATH_LENGTH || savedCount > MAX_RANGES || updatedCount > MAX_RANGES) {
        damage = "its head is damaged";
        return;
    }
    const int64_t headSize = FIXED_HEAD + pathLength + 16 * (int64_t(savedCount) + updatedCount) + 8;
    if (headSize > size) {
        damage = "it is cut short";
        return;
    }
    std::vector<uint8_t> head(static_cast<size_t>(headSize));
    if (iopread(fd, head.data(), head.size(), 0) != 0) {
        damage = "it cannot be read";
        return;
    }
    StreamHash headSum;
    headSum.add(head.data(), head.size() - 8);
    if (headSum.value() != at<uint64_t>(&head[head.size() - 8])) {
        damage = "its head does not match its checksum";
        return;
    }
    j.dev = at<uint64_t>(fixed + 8);
    j.ino = at<uint64_t>(fixed + 16);
    j.oldLength = at<int64_t>(fixed + 24);
    j.newLength = at<int64_t>(fixed + 32);
    oldHash = at<uint64_t>(fixed + 40);
    newHash = at<uint64_t>(fixed + 48);
    j.track.assign(reinterpret_cast<const char*>(&head[FIXED_HEAD]), pathLength);
    int64_t offset = FIXED_HEAD + pathLength;
    if (j.oldLength < 0 || j.newLength < 0 || !readtables(head, offset, savedCount, j.saved) ||
        !readtables(head, offset, updatedCount, updated)) {
        damage = "its head is damaged";
        return;
    }
    headOk = true;
    int64_t body = headSize;
    for (WriteJournal::Range& r : j.saved) {
        r.journalPos = body;
        body += r.length;
    }
    for (WriteJournal::Range& r : updated) {
        r.journalPos = body;
        body += r.length;
    }
    if (size < body + 16) {
        damage = "it is cut short";
        return;
    }
    if (size > body + 16) {
        damage = "it has bytes after its end";
        return;
    }
    if (!verifybody(fd, headSize, body)) {
        damage = "its saved bytes do not match their checksum";
        return;
    }
    bodyOk = true;
}

bool JournalReader::loadv2(int fd, int64_t size)
{
    WriteJournal& j = journal;
    if (size < V2_HEAD + 16)
        return false;
    uint8_t head[V2_HEAD];
    if (iopread(fd, head, sizeof head, 0) != 0)
        return false;
    const uint32_t pathLength = at<uint32_t>(head + 48), count = at<uint32_t>(head + 52);
    if (pathLength == 0 || pathLength > MAX_PATH_LENGTH || V2_HEAD + pathLength > size)
        return false;
    std::string p(pathLength, '\0');
    if (iopread(fd, p.data(), pathLength, V2_HEAD) != 0)
        return false;
    salvaged = p;
    // Its checksum covers everything before it.
    const int64_t body = size - 16;
    if (!verifybody(fd, 0, body))
        return false;
    j.dev = at<uint64_t>(head + 8);
    j.ino = at<uint64_t>(head + 16);
    j.oldLength = at<int64_t>(head + 24);
    j.newLength = at<int64_t>(head + 32);
    newHash = at<uint64_t>(head + 40);
    j.track = p;
    int64_t pos = V2_HEAD + pathLength;
    for (uint32_t i = 0; i < count; ++i) {
        int64_t rh[2];
        if (pos + 16 > body || iopread(fd, rh, sizeof rh, pos) != 0)
            return false;
        WriteJournal::Range r{rh[0], rh[1], pos + 16};
        if (r.pos < 0 || r.length < 0 || r.journalPos + r.length > body)
            return false;
        j.saved.push_back(r);
        pos = r.journalPos + r.length;
    }
    if (pos != body || j.oldLength < 0 || j.newLength < 0)
        return false;
    headOk = bodyOk = true;
    return true;
}

// ---- the folder and the hash ----------------------------------------------------------

void StreamHash::add(const void* data, size_t n)
{
    const auto* p = static_cast<const uint8_t*>(data);
    total += n;
    while (n > 0 && pendingBytes != 0) {
        pending |= uint64_t(*p++) << (8 * pendingBytes);
        --n;
        if (++pendingBytes == 8) {
            h = (h ^ pending) * 0x100000001b3ULL;
            h ^= h >> 29;
            pending = 0;
            pendingBytes = 0;
        }
    }
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0x100000001b3ULL;
        h ^= h >> 29;
    }
    for (; n > 0; --n) {
        pending |= uint64_t(*p++) << (8 * pendingBytes);
        ++pendingBytes;
    }
}

uint64_t StreamHash::value() const
{
    uint64_t v = (h ^ pending ^ (uint64_t(pendingBytes) << 56)) * 0x100000001b3ULL;
    return v ^ total ^ (v >> 31);
}

std::string journalfolder() { return logfolder() + "/journal"; }

int preparejournalfolder()
{
    const std::string folder = journalfolder();
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return problem("the journal folder " + folder + " cannot be used: " + errorText(errno));
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return problem("the journal folder " + folder + " cannot be made: " + errorText(errno));
        // The new folder's name must be on disk before a journal in it counts.
        if (int e = iofsyncfolder(folderof(folder).c_str()))
            return problem("the folder above the journal folder " + folder + " cannot be flushed: " + errorText(e));
        if (::lstat(folder.c_str(), &st) != 0)
            return problem("the journal folder " + folder + " cannot be used: " + errorText(errno));
    }
    if (S_ISLNK(st.st_mode))
        return problem("the journal folder " + folder + " is a symbolic link");
    if (!S_ISDIR(st.st_mode))
        return problem("the journal folder " + folder + " is not a folder");
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return problem("the journal folder " + folder + " cannot be written: " + errorText(errno));
    return 0;
}

std::string journalproblem() { return lastProblem; }

std::string journalpath(const std::string& realPath)
{
    StreamHash h;
    h.add(realPath.data(), realPath.size());
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx.journal", (unsigned long long)h.value());
    return journalfolder() + name;
}

// ---- writing ------------------------------------------------------------------------------

WriteJournal::~WriteJournal()
{
    if (owned && fd >= 0)
        ::close(fd);
}

std::vector<WriteJournal::Range> WriteJournal::updatedranges(const std::vector<Range>& saved, int64_t oldLen,
                                                             int64_t newLen)
{
    std::vector<Range> out;
    for (const Range& r : saved) {
        int64_t end = std::min(r.pos + r.length, newLen);
        if (r.pos < end)
            out.push_back({r.pos, end - r.pos, 0});
    }
    if (newLen > oldLen)
        out.push_back({oldLen, newLen - oldLen, 0});
    return out;
}

// Opens and locks the track's journal file, made when missing; an unarmed
// leftover is taken over, anything else is an update still to settle.
void WriteJournal::acquire(const std::string& folder, const std::string& file)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        bool made = false;
        int f = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (f < 0 && errno == ENOENT) {
            f = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            made = f >= 0;
            if (f < 0 && errno == EEXIST)
                continue;
        }
        if (f < 0) {
            int e = errno;
            throw problem(e == ELOOP ? "the journal " + file + " is a symbolic link"
                                     : "the journal " + file + " cannot be opened: " + errorText(e));
        }
        while (::flock(f, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat st;
        if (!stillnamed(f, file) || ::fstat(f, &st) != 0) {
            ::close(f); // settled and removed meanwhile
            continue;
        }
        if ((st.st_mode & ARMED) != 0) {
            ::close(f); // an update of this track that is not settled
            throw FILE_ERR_PENDING;
        }
        // An unarmed leftover belongs to an update that stopped before it
        // touched the track: nothing depends on it.
        if (int e = st.st_size != 0 ? ioftruncate(f, 0) : 0) {
            ::close(f);
            throw problem("the journal " + file + " cannot be emptied: " + errorText(e));
        }
        fd = f;
        owned = true;
        journalFile = file;
        if (made) {
            // The new name must be on disk before the journal counts.
            if (int e = iofsyncfolder(folder.c_str())) {
                (void)release();
                throw e;
            }
        }
        return;
    }
    throw problem("the journal " + file + " keeps changing under another program");
}

void WriteJournal::begin(const std::string& trackPath, const struct stat& st, int trackFd, int64_t newLen,
                         const std::vector<Range>& ranges, const NewBytes& newBytes)
{
    if (int e = preparejournalfolder())
        throw e;
    const std::string file = journalpath(trackPath);
    acquire(folderof(file), file);
    track = trackPath;
    dev = uint64_t(st.st_dev);
    ino = uint64_t(st.st_ino);
    oldLength = st.st_size;
    newLength = newLen;
    saved = ranges;
    const std::vector<Range> updated = updatedranges(saved, oldLength, newLength);

    // The bytes first, behind the room their head takes; the head last, when
    // the hashes of the old and new bytes are known.
    const int64_t headSize = FIXED_HEAD + int64_t(track.size()) + 16 * int64_t(saved.size() + updated.size()) + 8;
    JournalWriter out(fd, headSize);
    StreamHash oldSum, newSum;
    std::vector<uint8_t> chunk(1 << 16);
    int e = 0;
    for (Range& r : saved) {
        r.journalPos = out.position();
        for (int64_t done = 0; !e && done < r.length;) {
            size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), r.length - done));
            e = iopread(trackFd, chunk.data(), n, r.pos + done);
            if (e < 0)
                e = EIO; // the track is shorter than it was a moment ago
            if (!e) {
                oldSum.add(chunk.data(), n);
                e = out.put(chunk.data(), n);
            }
            done += int64_t(n);
        }
    }
    for (const Range& r : updated) {
        for (int64_t done = 0; !e && done < r.length;) {
            size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), r.length - done));
            try {
                newBytes(r.pos + done, chunk.data(), n);
            } catch (int code) {
                e = code;
                break;
            }
            newSum.add(chunk.data(), n);
            e = out.put(chunk.data(), n);
            done += int64_t(n);
        }
    }
    if (!e)
        e = out.value(out.checksum());
    if (!e)
        e = out.put(ENDMARK, sizeof ENDMARK);
    if (!e)
        e = out.flush();
    bytes = out.position();

    if (!e) {
        std::vector<uint8_t> head;
        auto put = [&](const void* p, size_t n) {
            const auto* b = static_cast<const uint8_t*>(p);
            head.insert(head.end(), b, b + n);
        };
        auto put64 = [&](uint64_t v) { put(&v, 8); };
        auto put32 = [&](uint32_t v) { put(&v, 4); };
        put(MAGIC, sizeof MAGIC);
        put64(dev);
        put64(ino);
        put64(uint64_t(oldLength));
        put64(uint64_t(newLength));
        put64(oldSum.value());
        put64(newSum.value());
        put32(uint32_t(track.size()));
        put32(uint32_t(saved.size()));
        put32(uint32_t(updated.size()));
        put32(0);
        put(track.data(), track.size());
        for (const std::vector<Range>* table : std::initializer_list<const std::vector<Range>*>{&saved, &updated})
            for (const Range& r : *table) {
                put64(uint64_t(r.pos));
                put64(uint64_t(r.length));
            }
        StreamHash headSum;
        headSum.add(head.data(), head.size());
        put64(headSum.value());
        e = iopwrite(fd, head.data(), head.size(), 0);
    }
    // Armed, and durable with its content, before the track changes.
    if (!e && ::fchmod(fd, 0600 | ARMED) != 0)
        e = errno;
    struct stat mine;
    if (!e && (::fstat(fd, &mine) != 0 || (mine.st_mode & ARMED) == 0)) {
        (void)release();
        throw problem("the journal folder " + folderof(journalFile) + " does not keep a file's mode");
    }
    if (!e)
        e = iofsync(fd);
    if (e) {
        (void)release(); // nothing was done to the track
        throw int(e);
    }
}

int WriteJournal::readsaved(int64_t pos, void* buffer, size_t n) const
{
    for (const Range& r : saved) {
        if (pos >= r.pos && pos + int64_t(n) <= r.pos + r.length) {
            int e = iopread(fd, buffer, n, r.journalPos + (pos - r.pos));
            return e < 0 ? EIO : e;
        }
    }
    return EINVAL;
}

int WriteJournal::restore(int trackFd) const
{
    std::vector<uint8_t> chunk(1 << 16);
    for (const Range& r : saved) {
        for (int64_t done = 0; done < r.length;) {
            size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), r.length - done));
            int e = iopread(fd, chunk.data(), n, r.journalPos + done);
            if (e)
                return e < 0 ? EIO : e;
            if ((e = iopwrite(trackFd, chunk.data(), n, r.pos + done)) != 0)
                return e;
            done += int64_t(n);
        }
    }
    struct stat st;
    if (::fstat(trackFd, &st) != 0)
        return errno;
    if (st.st_size != oldLength)
        if (int e = ioftruncate(trackFd, oldLength))
            return e;
    return iofsync(trackFd);
}

int WriteJournal::release()
{
    if (fd < 0)
        return 0;
    // Removed while still locked, and the removal flushed: a settled update
    // never comes back to roll back a later change.
    int e = journalFile.empty() ? 0 : iounlink(journalFile.c_str());
    if (!e)
        e = iofsyncfolder(folderof(journalFile).c_str());
    if (owned)
        ::close(fd);
    fd = -1;
    owned = false;
    return e;
}

// ---- settling -------------------------------------------------------------------------

namespace {

enum class TrackMatch { original, updated, interrupted, foreign, unreadable };

// Compares the track with what the journal says it held before and after
// the update. An update stopped by a kill or a power loss leaves every byte
// of its ranges either old or new, at the old or the new length; a byte that
// is neither was written by someone else.
TrackMatch comparetrack(const JournalReader& r, int trackFd, int64_t length)
{
    const WriteJournal& j = r.journal;
    uint64_t h = 0;
    if (length == j.newlength() &&
        hashtrack(trackFd, WriteJournal::updatedranges(j.ranges(), j.oldlength(), j.newlength()), h)) {
        if (h == r.newHash)
            return TrackMatch::updated;
    }
    if (r.version == 3 && length == j.oldlength() && hashtrack(trackFd, j.ranges(), h) && h == r.oldHash)
        return TrackMatch::original;
    if (!r.bodyOk || r.version == 2)
        return length == j.oldlength() || length == j.newlength() ? TrackMatch::interrupted : TrackMatch::foreign;
    if (length != j.oldlength() && length != j.newlength())
        return TrackMatch::foreign;

    // New bytes by offset: each update range starts where its saved range does,
    // or at the old end for what is appended.
    std::map<int64_t, WriteJournal::Range> fresh;
    for (const WriteJournal::Range& u : r.updated)
        fresh[u.pos] = u;
    const int64_t CHUNK = 1 << 16;
    std::vector<uint8_t> mine(CHUNK), old(CHUNK), neu(CHUNK);
    // 1: every byte old or new, 0: a byte that is neither, -1: unreadable.
    auto check = [&](const WriteJournal::Range* before, const WriteJournal::Range* after, int64_t pos,
                     int64_t n) -> int {
        for (int64_t done = 0; done < n;) {
            const int64_t p0 = pos + done;
            const size_t k = size_t(std::min(CHUNK, n - done));
            if (iopread(trackFd, mine.data(), k, p0) != 0)
                return -1;
            if (before == nullptr)
                std::memset(old.data(), 0, k); // appended room is zero until written
            else if (j.readsaved(p0, old.data(), k) != 0)
                return -1;
            const int64_t newEnd = after ? after->pos + after->length : p0;
            const size_t kn = size_t(std::clamp<int64_t>(newEnd - p0, 0, int64_t(k)));
            if (kn > 0 && r.readnew(*after, p0, neu.data(), kn) != 0)
                return -1;
            for (size_t i = 0; i < k; ++i)
                if (mine[i] != old[i] && !(i < kn && mine[i] == neu[i]))
                    return 0;
            done += int64_t(k);
        }
        return 1;
    };
    for (const WriteJournal::Range& s : j.ranges()) {
        int64_t n = std::min(s.pos + s.length, length) - s.pos;
        if (n <= 0)
            continue;
        auto it = fresh.find(s.pos);
        int c = check(&s, it == fresh.end() ? nullptr : &it->second, s.pos, n);
        if (c < 0)
            return TrackMatch::unreadable;
        if (c == 0)
            return TrackMatch::foreign;
    }
    if (j.newlength() > j.oldlength() && length > j.oldlength()) {
        auto it = fresh.find(j.oldlength());
        if (it == fresh.end())
            return TrackMatch::foreign;
        int c = check(nullptr, &it->second, j.oldlength(), length - j.oldlength());
        if (c < 0)
            return TrackMatch::unreadable;
        if (c == 0)
            return TrackMatch::foreign;
    }
    return TrackMatch::interrupted;
}

struct Settler {
    const std::function<void(const char*)>& report;
    bool atStart; // messages for the start of a program, not for one track of a batch
    std::string why;

    void say(const std::string& line) { report(line.c_str()); }
    // What keeps a journal is told once per start; a batch's one line for
    // the track says it there.
    void keep(const std::string& line)
    {
        if (atStart)
            say(line);
    }
    void keepcode(int code) { keep(errorcodeline(code)); }
    // A restore that cannot be done now: the journal waits for the next start.
    JournalOutcome keepfailed(const std::string& track, const std::string& file, int code, const std::string& reason)
    {
        why = reason;
        keep("Could not restore " + track + " after an interrupted tag update: error code " + std::to_string(code) +
             ".\n");
        keepcode(code);
        keep("Its journal " + file + " is kept and tried again at the next start.\n");
        return JournalOutcome::kept;
    }
    JournalOutcome keepdamaged(const std::string& file, const std::string& track, const std::string& reason)
    {
        why = "its journal could not be read (" + reason + ")";
        if (track.empty())
            keep("A track may be damaged by an interrupted tag update: its journal " + file + " could not be read (" +
                 reason + "), and the name of the track is lost with it.\n");
        else
            keep(track + " may be damaged by an interrupted tag update: its journal could not be read (" + reason +
                 ").\n");
        keep("The journal " + file +
             " is kept, and the track is reported by every batch until the journal is forgotten "
             "(tempix-cli --journal lists it, tempix-cli --journal-discard forgets it).\n");
        return JournalOutcome::kept;
    }
    JournalOutcome settle(const std::string& file);
};

bool unlinkjournal(const std::string& file)
{
    return iounlink(file.c_str()) == 0 && iofsyncfolder(folderof(file).c_str()) == 0;
}

JournalOutcome Settler::settle(const std::string& file)
{
    struct stat ls;
    if (::lstat(file.c_str(), &ls) != 0)
        return JournalOutcome::none;
    if (S_ISLNK(ls.st_mode)) {
        why = "its journal is a symbolic link";
        keep("The journal " + file +
             " is a symbolic link: it was not followed, and the track it stands for may be damaged by an "
             "interrupted tag update (tempix-cli --journal-discard forgets it).\n");
        return JournalOutcome::kept;
    }
    fd_auto fd(::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.fd < 0) {
        if (errno == ENOENT)
            return JournalOutcome::none;
        int e = errno;
        why = "its journal cannot be opened";
        keep("The journal " + file + " of an interrupted tag update cannot be opened.\n");
        keepcode(e);
        return JournalOutcome::kept;
    }
    struct stat st;
    // At a start, a journal that is locked belongs to an update that is
    // still running. A batch holds the track's lock, so whoever holds the
    // journal is only looking at it (another program's start): wait.
    if (::flock(fd.fd, atStart ? LOCK_EX | LOCK_NB : LOCK_EX) != 0)
        return JournalOutcome::busy;
    if (!stillnamed(fd.fd, file) || ::fstat(fd.fd, &st) != 0)
        return JournalOutcome::none; // settled meanwhile
    if (!S_ISREG(st.st_mode)) {
        why = "its journal is not a regular file";
        keep("The journal " + file +
             " is not a regular file: the track it stands for may be damaged by an "
             "interrupted tag update.\n");
        return JournalOutcome::kept;
    }

    JournalReader r;
    r.load(fd.fd);
    const bool armed = (st.st_mode & ARMED) != 0 || (r.version == 2 && st.st_size > 0);
    if (!armed) {
        // Its update stopped before it touched the track.
        (void)unlinkjournal(file);
        return JournalOutcome::none;
    }
    if (!r.headOk)
        return keepdamaged(file, r.salvaged, r.damage);
    const WriteJournal& j = r.journal;
    const std::string& track = j.trackpath();

    fd_auto t(::open(track.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (t.fd < 0) {
        int e = errno;
        if (e == ENOENT || e == ENOTDIR) {
            why = "the file is not there";
            keep("Could not restore " + track + " after an interrupted tag update: the file is gone.\n");
            keep("Its journal " + file +
                 " is kept, and the file is restored when it is back (tempix-cli --journal lists pending "
                 "journals).\n");
        } else {
            keepfailed(track, file, e, "it cannot be opened to be restored");
        }
        return JournalOutcome::kept;
    }
    struct stat ts;
    if (::fstat(t.fd, &ts) != 0 || !S_ISREG(ts.st_mode)) {
        why = "the file under its name is not a regular file";
        keep("Could not restore " + track + " after an interrupted tag update: the file has changed since.\n");
        keep("It is not a regular file now; its journal " + file + " is kept.\n");
        return JournalOutcome::kept;
    }
    if (!TrackLock::heldbythisthread(ts.st_dev, ts.st_ino) && ::flock(t.fd, LOCK_EX | LOCK_NB) != 0)
        return JournalOutcome::busy; // a running batch has the track; it settles the journal first

    const TrackMatch m = comparetrack(r, t.fd, ts.st_size);
    const bool sameFile = uint64_t(ts.st_ino) == j.inode();
    switch (m) {
    case TrackMatch::original:
    case TrackMatch::updated:
        // Exactly the bytes before or after: nothing to undo.
        (void)unlinkjournal(file);
        return JournalOutcome::emptied;
    case TrackMatch::unreadable:
        return keepfailed(track, file, EIO, "the file cannot be read to be compared with its journal");
    case TrackMatch::foreign:
        if (sameFile && r.bodyOk && r.version == 3) {
            say("Left " + track +
                " as it is: Tempix had finished updating it, and another program changed it since; the journal of "
                "that update is dropped.\n");
            (void)unlinkjournal(file);
            return JournalOutcome::emptied;
        }
        if (!r.bodyOk)
            return keepdamaged(file, track, r.damage);
        why = "its journal was written for another file under this name";
        keep("Could not restore " + track + " after an interrupted tag update: the file has changed since.\n");
        keep("It is not the file that the journal " + file +
             " was written for; the journal is kept (tempix-cli --journal-discard forgets it).\n");
        return JournalOutcome::kept;
    case TrackMatch::interrupted:
        break;
    }
    if (!r.bodyOk)
        return keepdamaged(file, track, r.damage);
    if (int e = j.restore(t.fd); e != 0)
        return keepfailed(track, file, e,
                          "it could not be restored (error code " + std::to_string(e) + ": " + errorText(e) + ")");
    say("Restored " + track + " to its state before an interrupted tag update.\n");
    (void)unlinkjournal(file);
    return JournalOutcome::restored;
}

// The journal files of the folder, sorted.
std::vector<std::string> journalfiles()
{
    std::string folder = journalfolder();
    std::vector<std::string> entries;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* d = ::readdir(dir)) {
            std::string n = d->d_name;
            if (endswith(n, ".journal"))
                entries.push_back(folder + "/" + n);
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

int recoverinterruptedwrites(const std::function<void(const char*)>& report)
{
    int restored = 0;
    for (const std::string& file : journalfiles()) {
        Settler s{report, true, {}};
        restored += s.settle(file) == JournalOutcome::restored ? 1 : 0;
    }
    return restored;
}

namespace {
// One sentence appended to the log file "Tempix.log" (and printed to echo).
void logsentence(FILE*& log, const char* line, FILE* echo)
{
    if (log == nullptr)
        log = std::fopen(logfilepath().c_str(), "a");
    if (log != nullptr) {
        std::fputs(line, log);
        std::fflush(log);
    }
    if (echo != nullptr) {
        std::fputs(line, echo);
        std::fflush(echo);
    }
}
} // namespace

int recoverinterruptedwrites(FILE* echo)
{
    FILE* log = nullptr;
    int restored = recoverinterruptedwrites([&](const char* line) { logsentence(log, line, echo); });
    if (log != nullptr)
        std::fclose(log);
    return restored;
}

JournalOutcome settletrackjournal(const std::string& realPath, const std::function<void(const char*)>& report,
                                  std::string& why)
{
    Settler s{report, false, {}};
    JournalOutcome outcome = s.settle(journalpath(realPath));
    why = s.why;
    return outcome;
}

bool journalpending(const std::string& realPath)
{
    const std::string file = journalpath(realPath);
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return true;
    if ((st.st_mode & ARMED) != 0)
        return true;
    // The earlier format is not armed: any content counts.
    fd_auto fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    char magic[8] = {};
    return fd.fd >= 0 && st.st_size > 0 && iopread(fd.fd, magic, sizeof magic, 0) == 0 &&
        std::memcmp(magic, MAGIC_V2, 8) == 0;
}

std::vector<PendingJournal> pendingjournals()
{
    std::vector<PendingJournal> out;
    for (const std::string& file : journalfiles()) {
        struct stat ls;
        if (::lstat(file.c_str(), &ls) != 0)
            continue;
        if (S_ISLNK(ls.st_mode)) {
            out.push_back({file, "", "a symbolic link, not followed: its track may be damaged"});
            continue;
        }
        fd_auto fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat st;
        if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            out.push_back({file, "", "cannot be opened: its track may be damaged"});
            continue;
        }
        if (::flock(fd.fd, LOCK_SH | LOCK_NB) != 0) {
            out.push_back({file, "", "in use by a running Tempix"});
            continue;
        }
        JournalReader r;
        r.load(fd.fd);
        if ((st.st_mode & ARMED) == 0 && !(r.version == 2 && st.st_size > 0))
            continue; // never armed: dropped at the next start
        if (!r.headOk) {
            out.push_back({file, r.salvaged, "damaged (" + r.damage + "): its track may be damaged"});
            continue;
        }
        const std::string& track = r.journal.trackpath();
        struct stat ts;
        if (::stat(track.c_str(), &ts) != 0)
            out.push_back({file, track, "waiting for the track, which is not there"});
        else if (!r.bodyOk)
            out.push_back({file, track, "damaged (" + r.damage + "): the track may be damaged"});
        else
            out.push_back({file, track, "an interrupted update, settled at the next start or batch"});
    }
    return out;
}

int discardjournal(const std::string& path, std::string& forgotten)
{
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string byName = real != nullptr ? journalpath(real) : std::string();
    std::free(real);
    for (const PendingJournal& p : pendingjournals()) {
        if (p.file != path && p.track != path && p.file != byName)
            continue;
        fd_auto fd(::open(p.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd.fd >= 0 && ::flock(fd.fd, LOCK_EX | LOCK_NB) != 0)
            return EBUSY; // its update is running
        if (int e = iounlink(p.file.c_str()))
            return e;
        forgotten = p.track.empty() ? p.file : p.track;
        FILE* log = nullptr;
        logsentence(
            log,
            ("Forgot the journal of " + forgotten + " at the user's request; the track was left as it is.\n").c_str(),
            nullptr);
        if (log != nullptr)
            std::fclose(log);
        return iofsyncfolder(folderof(p.file).c_str());
    }
    return ENOENT;
}

} // namespace ovra
