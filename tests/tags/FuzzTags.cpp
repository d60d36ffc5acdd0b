// libFuzzer target: the first byte chooses the kind of file (MP3 or MP4), the
// rest is the file. Every tag operation must end in an int code or succeed.
#include "tags/Tag.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const std::string base = "/tmp/tempix-fuzz-" + std::to_string(getpid());
    const std::string path = base + ((data[0] & 1) != 0 ? ".m4a" : ".mp3");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);

    std::unique_ptr<ovra::Tag> tag;
    try {
        tag = ovra::openTag(path.c_str(), (data[0] & 2) != 0);
    } catch (int) {
        unlink(path.c_str());
        return 0;
    }
    FILE* sink = std::fopen("/dev/null", "w");
    tag->dump(sink);
    std::fclose(sink);
    uint8_t record[64];
    std::memset(record, 0x3C, sizeof record);
    auto attempt = [](auto op) {
        try {
            op();
        } catch (int) {
        }
    };
    attempt([&] { tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, record, 64); });
    attempt([&] { tag->setBPM(128); });
    attempt([&] { tag->setRVA(500); });
    attempt([&] { tag->setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, record, 64); });
    attempt([&] { tag->setComment("fuzz"); });
    attempt([&] { tag->close(); });
    tag.reset();
    unlink(path.c_str());
    return 0;
}
