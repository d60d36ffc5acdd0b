#include "platform/FileIO.h"

#include <cerrno>
#include <unistd.h>

namespace ovra {

namespace {

// Repeats transfer (pread or pwrite) until n bytes have moved; stalled: what
// a call that moves nothing means.
template <class Byte, class Transfer>
int whole(int fd, Byte* p, size_t n, int64_t pos, Transfer transfer, int stalled)
{
    while (n > 0) {
        ssize_t moved = transfer(fd, p, n, off_t(pos));
        if (moved < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (moved == 0)
            return stalled;
        p += moved;
        n -= size_t(moved);
        pos += moved;
    }
    return 0;
}

} // namespace

int pwriteall(int fd, const void* data, size_t n, int64_t pos)
{
    return whole(fd, static_cast<const unsigned char*>(data), n, pos, ::pwrite, EIO);
}

int preadall(int fd, void* data, size_t n, int64_t pos)
{
    return whole(fd, static_cast<unsigned char*>(data), n, pos, ::pread, -1);
}

} // namespace ovra
