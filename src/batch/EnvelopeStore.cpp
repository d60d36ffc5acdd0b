#include "batch/EnvelopeStore.h"
#include "platform/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

namespace ovra::tempix {

namespace {

// Values gathered before one write to the file.
constexpr uint32_t WRITE_BLOCKS = 16384;

// An unnamed file in the temporary folder: nothing is left behind, whatever
// ends the process.
int opentemporary()
{
    const char* dir = std::getenv("TMPDIR");
    std::string folder = dir != nullptr && *dir == '/' ? dir : "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + "/tempix-envelope-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        ::unlink(name.c_str());
    return fd;
}

bool writeall(int fd, const float* values, uint32_t count, off_t at)
{
    return pwriteall(fd, values, size_t(count) * sizeof(float), at) == 0;
}

bool readall(int fd, float* values, uint32_t count, off_t at)
{
    return preadall(fd, values, size_t(count) * sizeof(float), at) == 0;
}

} // namespace

EnvelopeStore::EnvelopeStore(uint32_t blocks_, uint32_t held) : blocks(blocks_)
{
    if (blocks > held)
        fd = opentemporary();
    try {
        memory.reserve(fd >= 0 ? WRITE_BLOCKS : blocks);
    } catch (const std::bad_alloc&) {
        usable = false;
    }
}

EnvelopeStore::~EnvelopeStore()
{
    if (fd >= 0)
        ::close(fd);
}

bool EnvelopeStore::append(const float* values, uint32_t count)
{
    if (!usable)
        return false;
    try {
        memory.insert(memory.end(), values, values + count);
    } catch (const std::bad_alloc&) {
        usable = false;
        return false;
    }
    stored += count;
    if (fd >= 0 && memory.size() >= WRITE_BLOCKS && !flush())
        return tomemory();
    return true;
}

bool EnvelopeStore::flush()
{
    if (!writeall(fd, memory.data(), uint32_t(memory.size()), off_t(written) * off_t(sizeof(float))))
        return false;
    written += uint32_t(memory.size());
    memory.clear();
    return true;
}

// The file could not take more (a full disk): hold everything in memory,
// as a short track is held.
bool EnvelopeStore::tomemory()
{
    try {
        std::vector<float> all(blocks);
        if (!readall(fd, all.data(), written, 0)) {
            usable = false;
            return false;
        }
        std::copy(memory.begin(), memory.end(), all.begin() + written);
        all.resize(stored);
        all.reserve(blocks);
        memory.swap(all);
    } catch (const std::bad_alloc&) {
        usable = false;
        return false;
    }
    ::close(fd);
    fd = -1;
    written = 0;
    return true;
}

bool EnvelopeStore::read(uint32_t pos, uint32_t count, float* out) const
{
    if (!usable || uint64_t(pos) + count > stored)
        return false;
    if (fd < 0) {
        std::copy(memory.begin() + pos, memory.begin() + pos + count, out);
        return true;
    }
    // Part in the file, part still waiting to be written.
    uint32_t fromFile = pos < written ? std::min(count, written - pos) : 0;
    if (fromFile > 0 && !readall(fd, out, fromFile, off_t(pos) * off_t(sizeof(float))))
        return false;
    if (fromFile == count)
        return true;
    uint32_t begin = pos + fromFile - written;
    std::copy(memory.begin() + begin, memory.begin() + begin + (count - fromFile), out + fromFile);
    return true;
}

} // namespace ovra::tempix
