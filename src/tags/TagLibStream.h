// A TagLib stream over a FileTransaction: TagLib reads the staged state and
// its writes are staged too, so a TagLib::File never touches the disk
// itself. Works under any TagLib::File (MPEG, FLAC, Ogg).
#pragma once
#include "tags/FileTransaction.h"

#include <taglib/tiostream.h>

namespace ovra {

class TagLibStream : public TagLib::IOStream {
public:
    explicit TagLibStream(FileTransaction& file) : file(file) {}

    TagLib::FileName name() const override { return file.path().c_str(); }
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector& data) override;
    void insert(const TagLib::ByteVector& data, unsigned long start = 0, unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override { return false; }
    bool isOpen() const override { return file.isopen(); }
    void seek(long offset, Position p = Beginning) override;
    long tell() const override { return long(position); }
    long length() override { return long(file.length()); }
    void truncate(long length) override;

private:
    FileTransaction& file;
    int64_t position = 0;
};

} // namespace ovra
