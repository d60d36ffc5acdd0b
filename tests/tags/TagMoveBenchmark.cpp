// Benchmark: an edit that moves the media data of a large MP4 file.
// Reports the time and the peak memory of the process, which should stay
// near its size before the edit however large the file is, because the
// tail is moved in bounded chunks.
//
// Usage: tags_benchmark SOURCE.m4a MEGABYTES [WORKDIR]
// SOURCE must have 'moov' in front of 'mdat' and no 'udta' (the test
// fixture noudta_fast.m4a), so that opening it for writing creates 'udta'
// and moves everything behind 'moov'.
#include "tags/AtomContainer.h"
#include "tags/Tag_QTAtoms.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {
long peakkib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SOURCE.m4a MEGABYTES [WORKDIR]\n", argv[0]);
        return 2;
    }
    const long megabytes = std::atol(argv[2]);
    const std::string path = std::string(argc > 3 ? argv[3] : "/tmp") + "/tempix-bench-" + std::to_string(getpid()) + ".m4a";

    // The source file, its 'mdat' grown by the given amount of bytes that no
    // chunk points to.
    FILE* in = std::fopen(argv[1], "rb");
    FILE* out = std::fopen(path.c_str(), "w+b");
    if (in == nullptr || out == nullptr) {
        std::perror("open");
        return 1;
    }
    std::vector<uint8_t> bytes;
    int c;
    while ((c = std::fgetc(in)) != EOF)
        bytes.push_back(uint8_t(c));
    std::fclose(in);
    ovra::AtomContainer root = ovra::AtomContainer::fileRoot(out, 0);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::vector<uint8_t> block(1 << 20, 0x5A);
    for (long i = 0; i < megabytes; ++i)
        std::fwrite(block.data(), 1, block.size(), out);
    root.end = int64_t(bytes.size()) + int64_t(megabytes) * int64_t(block.size());
    ovra::AtomHeader mdat;
    int64_t mdatPos = ovra::findAtom(root, ovra::fourcc('m', 'd', 'a', 't'), 0, &mdat);
    if (mdatPos < 0) {
        std::fprintf(stderr, "no mdat in %s\n", argv[1]);
        return 1;
    }
    uint8_t size[4];
    ovra::putbe32(size, uint32_t(root.end - mdatPos));
    std::fseek(out, long(mdatPos), SEEK_SET);
    std::fwrite(size, 1, 4, out);
    std::fclose(out);
    block = std::vector<uint8_t>();
    bytes = std::vector<uint8_t>();

    const long before = peakkib();
    auto start = std::chrono::steady_clock::now();
    try {
        ovra::Tag_QTAtoms tag(path.c_str(), false);
        tag.setBPM(120);
        tag.close();
    } catch (int code) {
        std::fprintf(stderr, "edit failed: error code %d\n", code);
        unlink(path.c_str());
        return 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long after = peakkib();
    std::printf("file: %ld MiB of media data moved by 4112 bytes\n", megabytes);
    std::printf("time: %.2f s (%.0f MiB/s)\n", seconds, double(megabytes) / seconds);
    std::printf("peak memory: %ld KiB before the edit, %ld KiB after (+%ld KiB)\n", before, after, after - before);
    unlink(path.c_str());
    return 0;
}
