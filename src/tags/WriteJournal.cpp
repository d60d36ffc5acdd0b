// Journal files: written through the counted calls of FaultableIO, so a
// test can stop an update in the middle of its journal as well.
#include "tags/WriteJournal.h"
#include "tags/FaultableIO.h"
#include "platform/ErrorCodes.h"
#include "platform/tools_paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ovra {

namespace {
constexpr char MAGIC[8] = {'T', 'P', 'X', 'J', 'R', 'N', 'L', '2'};
constexpr char ENDMARK[8] = {'C', 'O', 'M', 'M', 'I', 'T', 'E', 'D'};
constexpr size_t BLOCK = 1 << 20;
constexpr int64_t HEAD = 56;

// Appends to the journal in large blocks, hashing as it goes.
class JournalWriter {
public:
    explicit JournalWriter(int fd) : fd(fd) { buffer.reserve(BLOCK); }
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
    int64_t at = 0;
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
    return ::fstat(fd, &mine) == 0 && ::stat(name.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
        mine.st_dev == named.st_dev;
}

// Hash of the track's bytes in the ranges, as a commit leaves them.
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
} // namespace

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

std::string journalfolder()
{
    char log[PATH_BUFFER];
    logfolder(log);
    std::string folder = std::string(log) + "/journal";
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

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

// Takes an idle (empty) slot, locked, or makes a new one.
void WriteJournal::acquire(const std::string& folder)
{
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* d = ::readdir(dir)) {
            std::string name = folder + "/" + d->d_name;
            if (!endswith(name, ".journal"))
                continue;
            int f = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
            if (f < 0)
                continue;
            struct stat st;
            // Busy, or holding an interrupted update that recovery must see first.
            if (::flock(f, LOCK_EX | LOCK_NB) != 0 || ::fstat(f, &st) != 0 || st.st_size != 0 || !stillnamed(f, name)) {
                ::close(f);
                continue;
            }
            fd = f;
            owned = true;
            break;
        }
        ::closedir(dir);
    }
    if (fd >= 0)
        return;
    std::string pattern = folder + "/slot-XXXXXX.journal";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    int f = ::mkostemps(buf.data(), 8, O_CLOEXEC);
    if (f < 0)
        throw int(errno);
    ::flock(f, LOCK_EX);
    fd = f;
    owned = true;
    // A new slot's name must be on disk before a journal in it counts.
    if (int e = iofsyncfolder(folder.c_str()); e != 0) {
        ::unlink(buf.data());
        ::close(fd);
        fd = -1;
        owned = false;
        throw e;
    }
}

void WriteJournal::begin(const std::string& trackPath, const struct stat& st, int trackFd, int64_t newLen,
                         const std::vector<Range>& ranges, uint64_t updated)
{
    acquire(journalfolder());
    track = trackPath;
    dev = uint64_t(st.st_dev);
    ino = uint64_t(st.st_ino);
    oldLength = st.st_size;
    newLength = newLen;
    newHash = updated;
    saved = ranges;

    JournalWriter out(fd);
    int e = out.put(MAGIC, sizeof MAGIC);
    if (!e)
        e = out.value(dev);
    if (!e)
        e = out.value(ino);
    if (!e)
        e = out.value(oldLength);
    if (!e)
        e = out.value(newLength);
    if (!e)
        e = out.value(newHash);
    if (!e)
        e = out.value(uint32_t(track.size()));
    if (!e)
        e = out.value(uint32_t(saved.size()));
    if (!e)
        e = out.put(track.data(), track.size());
    std::vector<uint8_t> chunk(1 << 16);
    for (Range& r : saved) {
        if (e)
            break;
        if (!e)
            e = out.value(r.pos);
        if (!e)
            e = out.value(r.length);
        r.journalPos = out.position();
        for (int64_t done = 0; !e && done < r.length;) {
            size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), r.length - done));
            e = iopread(trackFd, chunk.data(), n, r.pos + done);
            if (e < 0)
                e = EIO; // the track is shorter than it was a moment ago
            if (!e)
                e = out.put(chunk.data(), n);
            done += int64_t(n);
        }
    }
    uint64_t sum = out.checksum();
    if (!e)
        e = out.value(sum);
    if (!e)
        e = out.put(ENDMARK, sizeof ENDMARK);
    if (!e)
        e = out.flush();
    // The journal is on disk before the track changes.
    if (!e)
        e = iofsync(fd);
    if (e) {
        (void)::ftruncate(fd, 0); // nothing was done to the track
        ::close(fd);
        fd = -1;
        owned = false;
        throw int(e);
    }
    bytes = out.position();
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
    int e = ioftruncate(fd, 0);
    if (owned)
        ::close(fd);
    fd = -1;
    owned = false;
    return e;
}

bool WriteJournal::load(int journalFd)
{
    fd = journalFd;
    owned = false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < HEAD + 16)
        return false;
    const int64_t body = st.st_size - 16;
    uint8_t head[HEAD];
    if (iopread(fd, head, sizeof head, 0) != 0 || std::memcmp(head, MAGIC, 8) != 0)
        return false;
    std::memcpy(&dev, head + 8, 8);
    std::memcpy(&ino, head + 16, 8);
    std::memcpy(&oldLength, head + 24, 8);
    std::memcpy(&newLength, head + 32, 8);
    std::memcpy(&newHash, head + 40, 8);
    uint32_t pathLength, count;
    std::memcpy(&pathLength, head + 48, 4);
    std::memcpy(&count, head + 52, 4);
    if (oldLength < 0 || newLength < 0 || pathLength == 0 || pathLength > 65536)
        return false;

    // The checksum covers everything before it.
    StreamHash sum;
    std::vector<uint8_t> chunk(1 << 16);
    for (int64_t at = 0; at < body;) {
        size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), body - at));
        if (iopread(fd, chunk.data(), n, at) != 0)
            return false;
        sum.add(chunk.data(), n);
        at += int64_t(n);
    }
    uint8_t tail[16];
    if (iopread(fd, tail, sizeof tail, body) != 0 || std::memcmp(tail + 8, ENDMARK, 8) != 0)
        return false;
    uint64_t stored;
    std::memcpy(&stored, tail, 8);
    if (stored != sum.value())
        return false;

    track.resize(pathLength);
    if (iopread(fd, track.data(), pathLength, HEAD) != 0)
        return false;
    int64_t at = HEAD + pathLength;
    saved.clear();
    for (uint32_t i = 0; i < count; ++i) {
        int64_t rh[2];
        if (at + 16 > body || iopread(fd, rh, sizeof rh, at) != 0)
            return false;
        Range r{rh[0], rh[1], at + 16};
        if (r.pos < 0 || r.length < 0 || r.journalPos + r.length > body)
            return false;
        saved.push_back(r);
        at = r.journalPos + r.length;
    }
    return at == body;
}

namespace {
// Replays or drops the journal in one slot; returns 1 when a track was restored.
int recoverone(const std::string& file, const std::function<void(const char*)>& report)
{
    fd_auto fd(::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (fd.fd < 0 || ::flock(fd.fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.fd, &st) != 0)
        return 0; // gone, or its update is still running
    if (st.st_size == 0 || !stillnamed(fd.fd, file))
        return 0; // an idle slot
    auto empty = [&]() { (void)ioftruncate(fd.fd, 0); };
    WriteJournal journal;
    if (!journal.load(fd.fd)) {
        // Never finished, so its track was never touched.
        empty();
        return 0;
    }
    auto say = [&](const char* format, int code = 0) {
        char line[1400];
        std::snprintf(line, sizeof line, format, journal.trackpath().c_str(), code);
        report(line);
        if (code != 0) {
            std::snprintf(line, sizeof line, "Error code %d: %s.\n", code, errorText(code).c_str());
            report(line);
        }
    };
    fd_auto track(::open(journal.trackpath().c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (track.fd < 0) {
        int e = errno;
        if (e == ENOENT) {
            say("Could not restore %s after an interrupted tag update: the file is gone.\n");
            empty();
        } else {
            say("Could not restore %s after an interrupted tag update: error code %d.\n", e);
        }
        return 0;
    }
    if (::fstat(track.fd, &st) != 0 || uint64_t(st.st_dev) != journal.device() ||
        uint64_t(st.st_ino) != journal.inode() ||
        (st.st_size != journal.oldlength() && st.st_size != journal.newlength())) {
        // Another file under that name, or one changed since: not ours to touch.
        say("Could not restore %s after an interrupted tag update: the file has changed since.\n");
        empty();
        return 0;
    }
    if (::flock(track.fd, LOCK_EX) != 0) {
        say("Could not restore %s after an interrupted tag update: error code %d.\n", errno);
        return 0;
    }
    uint64_t now = 0;
    if (st.st_size == journal.newlength() &&
        hashtrack(track.fd, WriteJournal::updatedranges(journal.ranges(), journal.oldlength(), journal.newlength()),
                  now) &&
        now == journal.updatedhash()) {
        empty(); // the update was complete; only its journal was left
        return 0;
    }
    if (int e = journal.restore(track.fd); e != 0) {
        say("Could not restore %s after an interrupted tag update: error code %d.\n", e);
        return 0;
    }
    say("Restored %s to its state before an interrupted tag update.\n");
    empty();
    return 1;
}
} // namespace

int recoverinterruptedwrites(const std::function<void(const char*)>& report)
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
    int restored = 0;
    for (const std::string& entry : entries)
        restored += recoverone(entry, report);
    return restored;
}

int recoverinterruptedwrites(FILE* echo)
{
    FILE* log = nullptr;
    int restored = recoverinterruptedwrites([&](const char* line) {
        if (log == nullptr) {
            char folder[PATH_BUFFER];
            logfolder(folder);
            std::string path = std::string(folder) + "/Tempix.log";
            log = std::fopen(path.c_str(), "a");
        }
        if (log != nullptr) {
            std::fputs(line, log);
            std::fflush(log);
        }
        if (echo != nullptr) {
            std::fputs(line, echo);
            std::fflush(echo);
        }
    });
    if (log != nullptr)
        std::fclose(log);
    return restored;
}

} // namespace ovra
