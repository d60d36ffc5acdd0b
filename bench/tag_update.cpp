// Benchmark: the cost of one tag update, as the pipeline makes it (tempo,
// volume where the tag has one, the 64-byte record), per file layout.
//
// Usage: tempix-bench-tags REPEATS WORKDIR FILE...
// Every repeat works on a fresh copy of FILE in WORKDIR (the copy is not
// timed). Prints, per file, the median wall time of an update and the
// bytes the process wrote for it (track and journal; /proc/self/io wchar),
// and at the end the peak memory of the process.
// Uses only the tag interface, so the same source builds against older trees.
#include "tags/Tag.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {
long long wchar()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "wchar:")
            return value;
    return -1;
}

void update(const std::string& path)
{
    std::unique_ptr<ovra::Tag> tag(ovra::openTag(path.c_str(), false));
    tag->setBPM(123);
    try {
        tag->setRVA(-2000);
    } catch (int code) {
        if (code != ovra::TAG_ERR_UNSUPPORTED)
            throw;
    }
    unsigned char record[64];
    for (int i = 0; i < 64; ++i)
        record[i] = (unsigned char)(i * 7 + 5);
    tag->setData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, record, 64);
    tag->close();
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s REPEATS WORKDIR FILE...\n", argv[0]);
        return 2;
    }
    const int repeats = std::max(1, std::atoi(argv[1]));
    const std::string work = argv[2];
    std::printf("%-28s %10s %12s %14s\n", "file", "size", "median ms", "bytes written");
    for (int f = 3; f < argc; ++f) {
        const std::filesystem::path source = argv[f];
        const std::string target = work + "/bench-" + source.filename().string();
        std::vector<double> ms;
        long long written = 0;
        for (int r = 0; r < repeats; ++r) {
            std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
            long long before = wchar();
            auto t0 = std::chrono::steady_clock::now();
            try {
                update(target);
            } catch (int code) {
                std::fprintf(stderr, "%s: error code %d\n", source.c_str(), code);
                return 1;
            }
            auto t1 = std::chrono::steady_clock::now();
            written = wchar() - before;
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-28s %10lld %12.2f %14lld\n", source.filename().c_str(),
                    (long long)std::filesystem::file_size(source), ms[ms.size() / 2], written);
        std::filesystem::remove(target);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory of the process: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
