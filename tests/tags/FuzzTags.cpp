// libFuzzer target: the first byte chooses the kind of file (MP3 or MP4) and
// read-only or not, the rest is the file. Every tag operation must end in an
// int code or succeed.
#include "TagExercise.h"

#include <cstdint>
#include <cstdio>
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
    (void)tagtest::exercise(path.c_str(), (data[0] & 2) != 0);
    unlink(path.c_str());
    return 0;
}
