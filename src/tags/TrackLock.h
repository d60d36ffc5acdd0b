// One writer per track across processes: an exclusive flock on the track
// itself, taken before the track is read for a decision (up to date, reuse,
// write) and held until its last write. A second Tempix waits for it rather
// than trust a track that the first one is writing.
#pragma once
#include <functional>

#include <sys/types.h>

namespace ovra {

class TrackLock {
public:
    TrackLock() = default;
    ~TrackLock() { unlock(); }
    TrackLock(const TrackLock&) = delete;
    TrackLock& operator=(const TrackLock&) = delete;

    // Locks the regular file at path, waiting while another process holds
    // it; waiting() is called once when it has to, and cancelled() is asked
    // while it waits. 0, ECANCELED, or the errno of opening the file.
    int lock(const char* path, const std::function<void()>& waiting, const std::function<bool()>& cancelled);
    void unlock();
    bool held() const { return fd >= 0; }

    // Whether this thread holds the lock of the file (device, inode): its
    // own writes then need no lock of their own, and must not wait for it.
    static bool heldbythisthread(dev_t device, ino_t inode);

private:
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

} // namespace ovra
