// The write-type system calls of the file-writing layer, each counted and
// open to the test hook of FileTransaction.h (setwritefault). They return
// 0 or an errno value and retry interrupted and short writes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ovra {

int iopwrite(int fd, const void* data, size_t n, int64_t pos);
int ioftruncate(int fd, int64_t length);
int iofallocate(int fd, int64_t pos, int64_t n);
int iofsync(int fd);
int iorename(const char* from, const char* to);
int iounlink(const char* path);

// Reads exactly n bytes at pos: 0, an errno, or -1 at the end of the file.
int iopread(int fd, void* data, size_t n, int64_t pos);
// fsync of a folder, so that a new, renamed or removed name is on disk.
int iofsyncfolder(const char* folder);

// Closes a file descriptor when it goes out of scope.
struct fd_auto {
    int fd;
    explicit fd_auto(int fd) : fd(fd) {}
    ~fd_auto();
    fd_auto(const fd_auto&) = delete;
    fd_auto& operator=(const fd_auto&) = delete;
};

} // namespace ovra
