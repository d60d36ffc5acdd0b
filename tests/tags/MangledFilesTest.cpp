// Truncated and mangled files through openTag and every operation: error
// codes, never a crash (run it under ASan and UBSan too), and an MP4 file
// that cannot be opened is left exactly as it was.
#include "tags/AtomContainer.h"
#include "tags/Tag.h"
#include "TagExercise.h"
#include "TagTestSupport.h"

#include <cstring>
#include <memory>
#include <random>
#include <set>

using namespace ovra;
using tagtest::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

// Offsets of every atom header below the top level, walked the way a
// reader would, for the containers that hold other atoms.
void headers(const Bytes& b, size_t start, size_t end, std::vector<size_t>& out, int depth)
{
    static const std::set<std::string> containers = {"moov", "trak", "mdia", "minf", "stbl",
                                                     "udta", "meta", "ilst", "edts", "dinf"};
    size_t pos = start;
    while (pos + 8 <= end && depth < 8) {
        uint32_t size = getbe32(&b[pos]);
        std::string type(reinterpret_cast<const char*>(&b[pos + 4]), 4);
        out.push_back(pos);
        if (size < 8 || pos + size > end)
            return;
        if (containers.count(type) != 0)
            headers(b, pos + 8 + (type == "meta" ? 4 : 0), pos + size, out, depth + 1);
        else if (type.size() == 4 && uint8_t(type[0]) == 0xA9)
            headers(b, pos + 8, pos + size, out, depth + 1); // an 'ilst' item holds 'data'
        pos += size;
    }
}

struct Variant {
    std::string what;
    Bytes bytes;
};

std::vector<Variant> truncations(const Bytes& b)
{
    std::vector<Variant> v;
    std::set<size_t> lengths = {
        0, 3, 4, 8, 11, 12, 20, 27, 40, 100, 300, 1000, b.size() / 2, b.size() - 1, b.size() - 128, b.size() - 129};
    for (size_t n : lengths)
        if (n < b.size())
            v.push_back({"cut at " + std::to_string(n), Bytes(b.begin(), b.begin() + long(n))});
    return v;
}

std::vector<Variant> m4avariants(const Bytes& b)
{
    std::vector<Variant> v = truncations(b);
    std::vector<size_t> at;
    headers(b, 0, b.size(), at, 0);
    for (size_t pos : at) {
        uint32_t size = getbe32(&b[pos]);
        for (uint32_t lie : {0u, 1u, 7u, 8u, size - 1, size + 1, size + 4096, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            Bytes m = b;
            putbe32(&m[pos], lie);
            v.push_back({"size " + std::to_string(lie) + " at " + std::to_string(pos), std::move(m)});
        }
        Bytes cut(b.begin(), b.begin() + long(std::min(b.size(), pos + 6)));
        v.push_back({"cut inside the header at " + std::to_string(pos), std::move(cut)});
    }
    return v;
}

std::vector<Variant> mp3variants(const Bytes& b)
{
    std::vector<Variant> v = truncations(b);
    // Random damage in the tag region, and tag sizes that lie.
    std::mt19937 random(1234);
    size_t region = std::min<size_t>(b.size(), 1200);
    for (int i = 0; i < 60; ++i) {
        Bytes m = b;
        for (int k = 0; k < 4; ++k)
            m[random() % region] = uint8_t(random());
        v.push_back({"damage " + std::to_string(i), std::move(m)});
    }
    if (b.size() > 10 && std::memcmp(b.data(), "ID3", 3) == 0) {
        for (uint8_t fill : {0x00, 0x7F, 0xFF}) {
            Bytes m = b;
            std::memset(&m[6], fill, 4);
            v.push_back({"tag size bytes " + std::to_string(fill), std::move(m)});
        }
        // Frame sizes of the first frames.
        for (size_t pos = 10; pos + 10 < std::min<size_t>(b.size(), 400); pos += 1) {
            if (std::isupper(b[pos]) && std::isupper(b[pos + 1]) && std::isupper(b[pos + 2]) &&
                (std::isupper(b[pos + 3]) || std::isdigit(b[pos + 3]))) {
                for (uint32_t lie : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
                    Bytes m = b;
                    putbe32(&m[pos + 4], lie);
                    v.push_back({"frame size " + std::to_string(lie) + " at " + std::to_string(pos), std::move(m)});
                }
                pos += 9;
            }
        }
    }
    return v;
}

} // namespace

// A refused MP4 file is left exactly as it was; a FLAC or Ogg file is
// written whole or not at all (damage in Ogg's first pages or a cut stream
// is seen in its checksums, so no Ogg variant is written); MP3 files must
// only give codes.
TEST(MangledFiles, EveryFormatGivesCodesAndLosesNothing)
{
    enum Check { codesOnly, refusedUntouched, wholeOrNothing };
    const struct {
        std::vector<const char*> names;
        std::vector<Variant> (*variants)(const Bytes&);
        Check check;
    } cases[] = {
        {{"fast.m4a", "tail.m4a", "ap_gnre.m4a", "noudta_fast.m4a", "mutagen_gen.m4a"}, m4avariants, refusedUntouched},
        {{"v23.mp3", "v22.mp3", "v24.mp3", "v23_utf16.mp3", "v1only.mp3"}, mp3variants, codesOnly},
        {{"comments.flac", "id3.flac", "comments.ogg", "picture.opus"}, mp3variants, wholeOrNothing},
    };
    TempDir dir;
    for (const auto& c : cases) {
        for (const char* name : c.names) {
            const Bytes original = tagtest::readbytes(tagtest::fixtures() + "/" + name);
            int refused = 0, accepted = 0, unchanged = 0, written = 0;
            for (const Variant& variant : c.variants(original)) {
                SCOPED_TRACE(std::string(name) + ": " + variant.what);
                const std::string path = dir.path(name);
                tagtest::writebytes(path, variant.bytes);
                const bool opened = tagtest::exercise(path.c_str(), false);
                (opened ? accepted : refused) += 1;
                if (tagtest::readbytes(path) == variant.bytes) {
                    ++unchanged;
                    continue;
                }
                ++written;
                if (c.check == refusedUntouched) {
                    EXPECT_TRUE(opened) << "a refused file must not change";
                } else if (c.check == wholeOrNothing) {
                    std::unique_ptr<Tag> tag(openTag(path.c_str(), true));
                    EXPECT_EQ(tag->getBPM(), 120) << "a file that changed holds the whole update";
                }
            }
            if (c.check == refusedUntouched) {
                EXPECT_GT(refused, 0) << name;
                EXPECT_GT(accepted, 0) << name;
            } else if (c.check == wholeOrNothing) {
                EXPECT_GT(unchanged, 0) << name;
                EXPECT_EQ(written > 0, std::string(name).ends_with(".flac")) << name << ": " << written;
            }
        }
    }
}

TEST(MangledFiles, ATagSizeThatIsNotSynchsafeIsRefusedByEveryRoute)
{
    TempDir dir;
    // id3lib's route (ID3v2.2 and 2.3), TagLib's (ID3v2.4) and FLAC behind an ID3v2 tag.
    for (const char* name : {"v22.mp3", "v23.mp3", "v24.mp3", "id3.flac"}) {
        SCOPED_TRACE(name);
        Bytes bytes = tagtest::readbytes(tagtest::fixtures() + "/" + name);
        ASSERT_EQ(std::memcmp(bytes.data(), "ID3", 3), 0);
        ASSERT_EQ(bytes[6], 0);
        bytes[6] = 0x80; // with the top bit masked off, the size would still be right
        const std::string path = dir.path(name);
        tagtest::writebytes(path, bytes);
        EXPECT_NE(tagtest::codeof([&] { tagtest::ourupdate(path, tagtest::pattern(5, 7)); }), 0);
        EXPECT_EQ(tagtest::readbytes(path), bytes);
    }
}
