// Counted write-type calls and the test hook that stops an update after
// its k-th write, by failing or by ending the process as a kill would.
#include "tags/FaultableIO.h"
#include "platform/FileIO.h"
#include "tags/FileTransaction.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace ovra {

namespace {
// The hook is the layer's only process-wide state; tests set it.
std::mutex hookMutex;
WriteFault hook;
std::atomic<int> calls{0};
bool fired = false;

// 0 to go ahead, an errno to fail the call; ends the process in die mode.
// A write that dies is cut in half first, as a power loss may cut it.
bool tracing = false;
std::vector<std::string> trace;

// The file a descriptor is open on, for the trace.
std::string pathof(int fd)
{
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : std::string("?");
}

int checkpoint(const char* kind, int fd, const char* path = nullptr, const void* data = nullptr, size_t n = 0,
               int64_t pos = 0)
{
    int k = calls.fetch_add(1) + 1;
    std::lock_guard<std::mutex> lock(hookMutex);
    if (tracing)
        trace.push_back(std::string(kind) + " " + (path != nullptr ? std::string(path) : pathof(fd)));
    if (hook.mode == WriteFault::Mode::none || k <= hook.after)
        return 0;
    if (hook.mode == WriteFault::Mode::pause) {
        hook.mode = WriteFault::Mode::none; // once: the test lets it go on or kills it
        ::raise(SIGSTOP);
        return 0;
    }
    if (hook.mode == WriteFault::Mode::die) {
        if (data != nullptr && n > 1)
            if (::pwrite(fd, data, n / 2, off_t(pos)) < 0) {
                // the process ends here either way
            }
        _exit(137);
    }
    if (fired && !hook.sticky)
        return 0;
    fired = true;
    return hook.error;
}
} // namespace

void setwritefault(const WriteFault& fault)
{
    std::lock_guard<std::mutex> lock(hookMutex);
    hook = fault;
    fired = false;
    calls = 0;
}

int writecalls() { return calls.load(); }

void tracewrites(bool on)
{
    std::lock_guard<std::mutex> lock(hookMutex);
    tracing = on;
    trace.clear();
}

std::vector<std::string> writetrace()
{
    std::lock_guard<std::mutex> lock(hookMutex);
    return trace;
}

void setwritefaultfromenvironment()
{
    const char* text = std::getenv("TEMPIX_WRITE_FAULT");
    if (text == nullptr || *text == '\0')
        return;
    WriteFault fault;
    char mode[16] = "", sticky[16] = "";
    int after = 0, error = EIO;
    int fields = std::sscanf(text, "%15[a-z]:%d:%d:%15s", mode, &after, &error, sticky);
    if (fields < 2)
        return;
    if (std::strcmp(mode, "die") == 0)
        fault.mode = WriteFault::Mode::die;
    else if (std::strcmp(mode, "pause") == 0)
        fault.mode = WriteFault::Mode::pause;
    else if (std::strcmp(mode, "fail") == 0)
        fault.mode = WriteFault::Mode::fail;
    else
        return;
    fault.after = after;
    fault.error = error;
    fault.sticky = std::strcmp(sticky, "sticky") == 0;
    setwritefault(fault);
}

int iopwrite(int fd, const void* data, size_t n, int64_t pos)
{
    if (int e = checkpoint("write", fd, nullptr, data, n, pos))
        return e;
    return pwriteall(fd, data, n, pos);
}

int iopread(int fd, void* data, size_t n, int64_t pos) { return preadall(fd, data, n, pos); }

int ioftruncate(int fd, int64_t length)
{
    if (int e = checkpoint("truncate", fd))
        return e;
    while (::ftruncate(fd, off_t(length)) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int iofallocate(int fd, int64_t pos, int64_t n)
{
    if (int e = checkpoint("allocate", fd))
        return e;
    int e;
    while ((e = ::posix_fallocate(fd, off_t(pos), off_t(n))) == EINTR) {
    }
    return e;
}

int iofsync(int fd)
{
    if (int e = checkpoint("flush", fd))
        return e;
    return ::fsync(fd) == 0 ? 0 : errno;
}

int iorename(const char* from, const char* to)
{
    if (int e = checkpoint("rename", -1, to))
        return e;
    return ::rename(from, to) == 0 ? 0 : errno;
}

int iounlink(const char* path)
{
    if (int e = checkpoint("unlink", -1, path))
        return e;
    return ::unlink(path) == 0 ? 0 : errno;
}

fd_auto::~fd_auto()
{
    if (fd >= 0)
        ::close(fd);
}

int iofsyncfolder(const char* folder)
{
    int dfd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return errno;
    int e = iofsync(dfd);
    ::close(dfd);
    return e;
}

} // namespace ovra
