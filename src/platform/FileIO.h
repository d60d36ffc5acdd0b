// Whole reads and writes at a file position, retried across interruptions
// and short transfers.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ovra {

// 0 when all n bytes were written; errno otherwise (EIO when nothing moved).
int pwriteall(int fd, const void* data, size_t n, int64_t pos);
// 0 when all n bytes were read; errno otherwise, -1 at the end of the file.
int preadall(int fd, void* data, size_t n, int64_t pos);

} // namespace ovra
