// Track locks, and the locks this thread holds (a flock taken again through
// another descriptor of the same file would wait for ourselves).
#include "tags/TrackLock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ovra {

namespace {
thread_local std::vector<std::pair<dev_t, ino_t>> heldHere;
constexpr auto WAIT_STEP = std::chrono::milliseconds(50);
} // namespace

int TrackLock::lock(const char* path, const std::function<void()>& waiting, const std::function<bool()>& cancelled)
{
    unlock();
    // Non-blocking, so that a FIFO under a track's name cannot hang us.
    int f = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f < 0)
        return errno;
    struct stat st;
    if (::fstat(f, &st) != 0) {
        int e = errno;
        ::close(f);
        return e;
    }
    bool told = false;
    while (::flock(f, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        if (e == EINTR)
            continue;
        if (e != EWOULDBLOCK) {
            ::close(f);
            return e;
        }
        if (!told && waiting)
            waiting();
        told = true;
        if (cancelled && cancelled()) {
            ::close(f);
            return ECANCELED;
        }
        std::this_thread::sleep_for(WAIT_STEP);
    }
    fd = f;
    dev = st.st_dev;
    ino = st.st_ino;
    heldHere.emplace_back(dev, ino);
    return 0;
}

void TrackLock::unlock()
{
    if (fd < 0)
        return;
    auto it = std::find(heldHere.begin(), heldHere.end(), std::make_pair(dev, ino));
    if (it != heldHere.end())
        heldHere.erase(it);
    ::close(fd);
    fd = -1;
}

bool TrackLock::heldbythisthread(dev_t device, ino_t inode)
{
    return std::find(heldHere.begin(), heldHere.end(), std::make_pair(device, inode)) != heldHere.end();
}

} // namespace ovra
