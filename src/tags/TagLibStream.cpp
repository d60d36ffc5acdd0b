// TagLib's stream calls mapped onto the staged file. TagLib has no error
// channel here: a failed read gives fewer bytes, a failed edit is dropped
// and shows up in the check before the commit.
#include "tags/TagLibStream.h"

#include <algorithm>

namespace ovra {

TagLib::ByteVector TagLibStream::readBlock(unsigned long length)
{
    if (length == 0 || position >= file.length())
        return TagLib::ByteVector();
    TagLib::ByteVector data(static_cast<unsigned int>(std::min<int64_t>(int64_t(length), file.length() - position)), 0);
    size_t n = 0;
    try {
        n = file.read(position, data.data(), data.size());
    } catch (int) {
        return TagLib::ByteVector();
    }
    data.resize(static_cast<unsigned int>(n));
    position += int64_t(n);
    return data;
}

void TagLibStream::writeBlock(const TagLib::ByteVector& data)
{
    try {
        file.write(position, data.data(), data.size());
        position += data.size();
    } catch (int) {
        // TagLib cannot be told of a failure here; it never saves through
        // this stream (our own frames are spliced in by the tag's update).
    }
}

void TagLibStream::insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace)
{
    try {
        int64_t removed = std::min<int64_t>(int64_t(replace), file.length() - int64_t(start));
        file.replace(int64_t(start), removed, data.data(), data.size());
    } catch (int) {
        // TagLib cannot be told of a failure here; it never saves through
        // this stream (our own frames are spliced in by the tag's update).
    }
}

void TagLibStream::removeBlock(unsigned long start, unsigned long length)
{
    try {
        file.remove(int64_t(start), std::min<int64_t>(int64_t(length), file.length() - int64_t(start)));
    } catch (int) {
        // TagLib cannot be told of a failure here; it never saves through
        // this stream (our own frames are spliced in by the tag's update).
    }
}

void TagLibStream::seek(long offset, Position p)
{
    int64_t base = p == Beginning ? 0 : p == Current ? position : file.length();
    position = std::max<int64_t>(0, base + offset);
}

void TagLibStream::truncate(long length)
{
    try {
        file.truncate(length);
    } catch (int) {
        // TagLib cannot be told of a failure here; it never saves through
        // this stream (our own frames are spliced in by the tag's update).
    }
}

} // namespace ovra
