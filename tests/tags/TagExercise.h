// Every operation of a tag, read and write, as the batch uses them: on a
// damaged file any of them may fail, but only with an int code. Shared by the
// mangled-file tests and the fuzz target.
#pragma once
#include "tags/Tag.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace tagtest {

// False when the file is not opened at all.
inline bool exercise(const char* path, bool readOnly)
{
    std::unique_ptr<ovra::Tag> tag;
    try {
        tag = ovra::openTag(path, readOnly);
    } catch (int) {
        return false;
    }
    FILE* sink = std::fopen("/dev/null", "w");
    tag->dump(sink);
    std::fclose(sink);
    uint8_t record[64];
    auto attempt = [](auto op) {
        try {
            op();
        } catch (int) {
        }
    };
    attempt([&] { tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, record, 64); });
    std::memset(record, 0x5A, sizeof record);
    attempt([&] { tag->setBPM(120); });
    attempt([&] { tag->setRVA(-1000); });
    attempt([&] { tag->setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, record, 64); });
    attempt([&] { tag->setTitle("mangled"); });
    attempt([&] { tag->setComment("mangled"); });
    attempt([&] { tag->getBPM(); });
    attempt([&] { tag->close(); });
    return true;
}

} // namespace tagtest
