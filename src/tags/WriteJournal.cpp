// Journal files: written through the counted calls of FaultableIO, so a
// test can stop an update in the middle of its journal as well.
#include "tags/WriteJournal.h"
#include "tags/FaultableIO.h"
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
constexpr char MAGIC[8] = {'T', 'P', 'X', 'J', 'R', 'N', 'L', '1'};
constexpr char ENDMARK[8] = {'C', 'O', 'M', 'M', 'I', 'T', 'E', 'D'};
constexpr size_t BLOCK = 1 << 20;

uint64_t fnv(uint64_t h, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}
constexpr uint64_t FNV_START = 0xcbf29ce484222325ULL;

// Appends to the journal file in large blocks, checksumming as it goes.
class JournalWriter {
public:
    explicit JournalWriter(int fd) : fd(fd) { buffer.reserve(BLOCK); }
    int put(const void* data, size_t n)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        sum = fnv(sum, p, n);
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
    int value(T v) { return put(&v, sizeof v); }
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
    uint64_t checksum() const { return sum; }

private:
    int fd;
    int64_t at = 0;
    uint64_t sum = FNV_START;
    std::vector<uint8_t> buffer;
};

std::string folderof(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool endswith(const std::string& s, const char* tail)
{
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}
} // namespace

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

void WriteJournal::create(const std::string& trackPath, const struct stat& st, int trackFd, int64_t newLen,
                          const std::vector<Range>& ranges)
{
    std::string folder = journalfolder();
    std::string pattern = folder + "/XXXXXX.partial";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    fd = ::mkostemps(buf.data(), 8, O_CLOEXEC);
    if (fd < 0)
        throw int(errno);
    owned = true;
    std::string partial = buf.data();
    // Held until the update is over: a journal that another process can
    // lock belongs to an update that is not running any more.
    ::flock(fd, LOCK_EX);

    track = trackPath;
    dev = uint64_t(st.st_dev);
    ino = uint64_t(st.st_ino);
    oldLength = st.st_size;
    newLength = newLen;
    saved = ranges;

    auto fail = [&](int e) {
        ::unlink(partial.c_str());
        ::close(fd);
        fd = -1;
        throw int(e);
    };
    JournalWriter out(fd);
    int e = out.put(MAGIC, sizeof MAGIC);
    if (!e) e = out.value(dev);
    if (!e) e = out.value(ino);
    if (!e) e = out.value(oldLength);
    if (!e) e = out.value(newLength);
    if (!e) e = out.value(uint32_t(track.size()));
    if (!e) e = out.value(uint32_t(saved.size()));
    if (!e) e = out.put(track.data(), track.size());
    std::vector<uint8_t> chunk(std::min<size_t>(BLOCK, 1 << 16));
    for (Range& r : saved) {
        if (!e) e = out.value(r.pos);
        if (!e) e = out.value(r.length);
        r.journalPos = out.position();
        for (int64_t done = 0; !e && done < r.length;) {
            size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), r.length - done));
            e = iopread(trackFd, chunk.data(), n, r.pos + done);
            if (e < 0)
                e = EIO; // the track is shorter than it was a moment ago
            if (!e) e = out.put(chunk.data(), n);
            done += int64_t(n);
        }
        if (e)
            break;
    }
    uint64_t sum = out.checksum();
    if (!e) e = out.value(sum);
    if (!e) e = out.put(ENDMARK, sizeof ENDMARK);
    if (!e) e = out.flush();
    if (!e) e = iofsync(fd);
    name = partial.substr(0, partial.size() - 8) + ".journal";
    if (!e) e = iorename(partial.c_str(), name.c_str());
    if (e) {
        name.clear();
        fail(e);
    }
    bytes = out.position();
    // The new name must be on disk before the track changes.
    if (int s = iofsyncfolder(folder.c_str()); s != 0) {
        ::unlink(name.c_str());
        name.clear();
        fail(s);
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

int WriteJournal::remove()
{
    if (name.empty())
        return 0;
    int e = iounlink(name.c_str());
    if (e == 0) {
        e = iofsyncfolder(folderof(name).c_str());
        name.clear();
    }
    return e;
}

bool WriteJournal::load(int journalFd)
{
    fd = journalFd;
    owned = false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < int64_t(sizeof MAGIC + 40 + 16))
        return false;
    const int64_t total = st.st_size;
    uint8_t head[48];
    if (iopread(fd, head, sizeof head, 0) != 0 || std::memcmp(head, MAGIC, 8) != 0)
        return false;
    std::memcpy(&dev, head + 8, 8);
    std::memcpy(&ino, head + 16, 8);
    std::memcpy(&oldLength, head + 24, 8);
    std::memcpy(&newLength, head + 32, 8);
    uint32_t pathLength, count;
    std::memcpy(&pathLength, head + 40, 4);
    std::memcpy(&count, head + 44, 4);
    if (oldLength < 0 || newLength < 0 || pathLength == 0 || pathLength > 65536)
        return false;

    // The checksum covers everything before it.
    uint64_t sum = FNV_START;
    std::vector<uint8_t> chunk(1 << 16);
    const int64_t body = total - 16;
    for (int64_t at = 0; at < body;) {
        size_t n = size_t(std::min<int64_t>(int64_t(chunk.size()), body - at));
        if (iopread(fd, chunk.data(), n, at) != 0)
            return false;
        sum = fnv(sum, chunk.data(), n);
        at += int64_t(n);
    }
    uint8_t tail[16];
    if (iopread(fd, tail, sizeof tail, body) != 0 || std::memcmp(tail + 8, ENDMARK, 8) != 0)
        return false;
    uint64_t stored;
    std::memcpy(&stored, tail, 8);
    if (stored != sum)
        return false;

    track.resize(pathLength);
    if (iopread(fd, track.data(), pathLength, 48) != 0)
        return false;
    int64_t at = 48 + pathLength;
    saved.clear();
    for (uint32_t i = 0; i < count; ++i) {
        Range r;
        int64_t rh[2];
        if (at + 16 > body || iopread(fd, rh, sizeof rh, at) != 0)
            return false;
        r.pos = rh[0];
        r.length = rh[1];
        r.journalPos = at + 16;
        if (r.pos < 0 || r.length < 0 || r.journalPos + r.length > body)
            return false;
        saved.push_back(r);
        at = r.journalPos + r.length;
    }
    return at == body;
}

namespace {
// Replays or drops one journal file; returns 1 when a track was restored.
int recoverone(const std::string& folder, const std::string& entry, const std::function<void(const char*)>& report)
{
    std::string file = folder + "/" + entry;
    fd_auto fd(::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd < 0 || ::flock(fd.fd, LOCK_EX | LOCK_NB) != 0)
        return 0; // gone, or its update is still running
    // Removed by its writer between our open and our lock: the update is done.
    struct stat mine, named;
    if (::fstat(fd.fd, &mine) != 0 || ::stat(file.c_str(), &named) != 0 || mine.st_ino != named.st_ino ||
        mine.st_dev != named.st_dev)
        return 0;
    WriteJournal journal;
    bool complete = endswith(entry, ".journal") && journal.load(fd.fd);
    if (!complete) {
        // Never finished, so its track was never touched.
        ::unlink(file.c_str());
        iofsyncfolder(folder.c_str());
        return 0;
    }
    auto say = [&](const char* format, int code = 0) {
        char line[1400];
        std::snprintf(line, sizeof line, format, journal.trackpath().c_str(), code);
        report(line);
    };
    auto drop = [&]() {
        ::unlink(file.c_str());
        iofsyncfolder(folder.c_str());
    };
    fd_auto track(::open(journal.trackpath().c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (track.fd < 0) {
        int e = errno;
        if (e == ENOENT) {
            say("Could not restore %s after an interrupted tag update: the file is gone.\n");
            drop();
        } else {
            say("Could not restore %s after an interrupted tag update: error code %d.\n", e);
        }
        return 0;
    }
    struct stat st;
    int restored = 0;
    if (::fstat(track.fd, &st) != 0 || uint64_t(st.st_dev) != journal.device() || uint64_t(st.st_ino) != journal.inode() ||
        (st.st_size != journal.oldlength() && st.st_size != journal.newlength())) {
        // Another file under that name, or one changed since: not ours to touch.
        say("Could not restore %s after an interrupted tag update: the file has changed since.\n");
        drop();
    } else if (::flock(track.fd, LOCK_EX) != 0) {
        say("Could not restore %s after an interrupted tag update: error code %d.\n", errno);
    } else if (int e = journal.restore(track.fd); e != 0) {
        say("Could not restore %s after an interrupted tag update: error code %d.\n", e);
    } else {
        say("Restored %s to its state before an interrupted tag update.\n");
        drop();
        restored = 1;
    }
    return restored;
}
} // namespace

int recoverinterruptedwrites(const std::function<void(const char*)>& report)
{
    std::string folder = journalfolder();
    std::vector<std::string> entries;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* d = ::readdir(dir)) {
            std::string n = d->d_name;
            if (endswith(n, ".journal") || endswith(n, ".partial"))
                entries.push_back(n);
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end());
    int restored = 0;
    for (const std::string& entry : entries)
        restored += recoverone(folder, entry, report);
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
