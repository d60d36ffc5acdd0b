// The MP4 tag on files made by ffmpeg, AtomicParsley and mutagen; every write
// is read back through mutagen and the audio compared before and after.
#include "tags/AtomContainer.h"
#include "tags/Tag_QTAtoms.h"
#include "TagTestSupport.h"

#include <cstring>

#include <unistd.h>

using namespace ovra;
using tagtest::codeof;
using tagtest::TempDir;

using tagtest::text;

TEST(Tag_QTAtoms, TheFirstWriteCreatesUdtaWithItsReservedSpace)
{
    for (const char* name : {"noudta_tail.m4a", "noudta_fast.m4a"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        std::string path = dir.copy(name);
        const auto before = tagtest::mutagen(path);
        const std::vector<uint8_t> bytes = tagtest::readbytes(path);
        const tagtest::AudioPrint audio = tagtest::audioprint(path);
        {
            Tag_QTAtoms tag(path.c_str(), true);
            EXPECT_EQ(codeof([&] { tag.setBPM(100); }), EBADF) << "a read-only tag refuses to write";
        }
        Tag_QTAtoms(path.c_str(), false).close();
        EXPECT_EQ(tagtest::readbytes(path), bytes) << "opening alone writes nothing";

        Tag_QTAtoms tag(path.c_str(), false);
        tag.setBPM(128);
        tag.close();
        auto m = tagtest::mutagen(path);
        EXPECT_EQ(std::stol(m["moov.size"]), std::stol(before.at("moov.size")) + 4112);
        EXPECT_EQ(m["udta.size"], "4112");
        EXPECT_EQ(m["udta.meta.size"], "3092");
        EXPECT_EQ(m["udta.free.size"], "1012");
        EXPECT_EQ(m["meta.hdlr.size"], "34");
        EXPECT_EQ(m["meta.ilst.size"], "2064");
        EXPECT_EQ(m["meta.free.size"], "982");
        EXPECT_EQ(m["ilst.free.size"], "2030");
        EXPECT_EQ(m["tmpo"], "128");
        EXPECT_EQ(tagtest::audioprint(path), audio) << "chunk offsets must follow a moved mdat";
        // The tempo item: 26 bytes, a 16-bit integer of type 0x15.
        const uint8_t item[26] = {0,   0,   0,   0x1A, 't', 'm', 'p',  'o', 0, 0, 0, 0x12, 'd',
                                  'a', 't', 'a', 0,    0,   0,   0x15, 0,   0, 0, 0, 0,    0x80};
        const std::vector<uint8_t> now = tagtest::readbytes(path);
        EXPECT_NE(std::search(now.begin(), now.end(), item, item + sizeof item), now.end());
    }
}

// Rewrites the two-byte value of the 'gnre' item that AtomicParsley wrote.
void setgnre(const std::string& path, uint16_t value)
{
    std::vector<uint8_t> bytes = tagtest::readbytes(path);
    const char needle[] = "gnre";
    auto at = std::search(bytes.begin(), bytes.end(), needle, needle + 4);
    ASSERT_NE(at, bytes.end());
    size_t payload = size_t(at - bytes.begin()) + 4 + 16;
    bytes[payload] = uint8_t(value >> 8);
    bytes[payload + 1] = uint8_t(value);
    tagtest::writebytes(path, bytes);
}

// AtomicParsley's 'gnre' index wins over a '©gen' text, also one we set;
// indexes outside the list are refused.
TEST(Tag_QTAtoms, ReadsWhatOtherTaggersWroteAndLeavesGnreInCharge)
{
    TempDir dir;
    Tag_QTAtoms mg(dir.copy("mutagen_gen.m4a").c_str(), true);
    EXPECT_EQ(text(mg, &Tag::getGenre), "Deep House") << "from '©gen'";

    std::string path = dir.copy("ap_gnre.m4a");
    {
        Tag_QTAtoms ap(path.c_str(), false); // its title, tempo and no volume: DumpCommand
        ap.setGenre("Polka Fusion");
        EXPECT_EQ(text(ap, &Tag::getGenre), "Rock");
        ap.close();
    }
    EXPECT_EQ(tagtest::mutagen(path)["ilst.children"], "©nam,©ART,gnre,tmpo,©cmt,©wrt,©alb,©gen")
        << "every item kept, '©gen' added";

    for (const auto& [index, genre] : std::vector<std::pair<uint16_t, std::string>>{
             {18, "Rock"}, {126, "Dance Hall"}, {0, ""}, {127, ""}, {0xFFFF, ""}}) {
        setgnre(path, index);
        Tag_QTAtoms tag(path.c_str(), true);
        if (genre.empty())
            EXPECT_EQ(codeof([&] { text(tag, &Tag::getGenre); }), ATOM_ERR_GNRE_RANGE) << index;
        else
            EXPECT_EQ(text(tag, &Tag::getGenre), genre) << index;
    }
}

TEST(Tag_QTAtoms, ARecordInFrontOfMetaDoesNotLoseTheItems)
{
    // AtomicParsley's 'udta' has no 'free' child, so a record goes at its end;
    // a second, longer record makes 'udta' grow around 'meta'.
    TempDir dir;
    std::string path = dir.copy("ap_gnre.m4a");
    const tagtest::AudioPrint audio = tagtest::audioprint(path);
    Tag_QTAtoms tag(path.c_str(), false);
    std::vector<uint8_t> small(16, 1), large(300, 2);
    tag.setData("x", fourcc("Aaaa"), small.data(), int(small.size()));
    tag.setData("x", fourcc("Aaaa"), large.data(), int(large.size()));
    tag.setTitle("After");
    tag.setBPM(99);
    tag.close();
    auto m = tagtest::mutagen(path);
    EXPECT_EQ(m["©nam"], "After");
    EXPECT_EQ(m["©ART"], "AP Artist");
    EXPECT_EQ(m["tmpo"], "99");
    EXPECT_EQ(m["udta.Aaaa.size"], "308");
    EXPECT_EQ(tagtest::audioprint(path), audio);
}

// The offset of the atom header whose type is the first one found.
size_t atomat(const std::vector<uint8_t>& bytes, const char* type)
{
    auto at = std::search(bytes.begin(), bytes.end(), type, type + 4);
    return at == bytes.end() ? 0 : size_t(at - bytes.begin()) - 4;
}

// Files of another kind, cut short or damaged: refused before anything is written.
TEST(Tag_QTAtoms, DamagedLayoutsAreRefusedBeforeAnythingIsWritten)
{
    struct Case {
        const char* what;
        const char* fixture;
        void (*damage)(std::vector<uint8_t>&);
        int code;
    };
    const Case cases[] = {
        {"another brand", "brand_m4b.m4a", [](std::vector<uint8_t>&) {}, ATOM_ERR_NOT_M4A},
        {"cut inside 'ftyp'", "fast.m4a", [](std::vector<uint8_t>& b) { b.resize(9); }, ATOM_ERR_TRUNCATED},
        {"64-bit chunk offsets", "noudta_fast.m4a",
         [](std::vector<uint8_t>& b) { std::memcpy(&b[atomat(b, "stco") + 4], "co64", 4); }, ATOM_ERR_CO64},
        {"no chunk offsets", "noudta_fast.m4a",
         [](std::vector<uint8_t>& b) { std::memcpy(&b[atomat(b, "stco") + 4], "xxxx", 4); }, ATOM_ERR_NO_STCO},
        // 'mdat' as a 64-bit atom: size 1, then the real size in 8 bytes, in
        // place of the 8-byte 'free' in front of it.
        {"64-bit atom size", "noudta_tail.m4a",
         [](std::vector<uint8_t>& b) {
             size_t pos = atomat(b, "mdat");
             ASSERT_EQ(std::string(b.begin() + long(pos) - 4, b.begin() + long(pos)), "free");
             uint32_t size = getbe32(&b[pos]);
             uint8_t header[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0};
             putbe32(header + 12, size + 8);
             std::memcpy(&b[pos - 8], header, sizeof header);
         },
         ATOM_ERR_BAD_SIZE},
        {"no mdat", "fast.m4a", [](std::vector<uint8_t>& b) { std::memcpy(&b[atomat(b, "mdat") + 4], "junk", 4); },
         ATOM_ERR_MDAT_LOST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string path = dir.copy(c.fixture, "track.m4a");
        std::vector<uint8_t> bytes = tagtest::readbytes(path);
        c.damage(bytes);
        tagtest::writebytes(path, bytes);
        EXPECT_EQ(codeof([&] { Tag_QTAtoms(path.c_str(), false); }), c.code);
        EXPECT_EQ(tagtest::readbytes(path), bytes);
        if (c.code == ATOM_ERR_CO64) { // reading such a file is harmless
            EXPECT_EQ(codeof([&] { Tag_QTAtoms(path.c_str(), true); }), 0);
        }
    }
    TempDir dir;
    EXPECT_EQ(codeof([&] { Tag_QTAtoms(dir.path("missing.m4a").c_str(), false); }), ENOENT);
    // Too large to write: a sparse tail makes it so without using the disk.
    std::string path = dir.copy("fast.m4a");
    ASSERT_EQ(truncate(path.c_str(), off_t(ATOM_FILE_LIMIT) + 1), 0);
    EXPECT_EQ(codeof([&] { Tag_QTAtoms(path.c_str(), false); }), ATOM_ERR_TOO_LARGE);
    EXPECT_EQ(int64_t(std::filesystem::file_size(path)), ATOM_FILE_LIMIT + 1);
}

// ffmpeg's 8-byte 'free' in front of 'mdat' claims to run past it: into
// 'mdat', or far past the end. The file is repaired before the edit, also when
// creating 'udta' moves 'mdat'.
TEST(Tag_QTAtoms, AFreeAtomThatHidesMdatIsRepaired)
{
    for (const char* name : {"fast.m4a", "noudta_fast_free.m4a"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        std::string path = dir.copy(name);
        const tagtest::AudioPrint audio = tagtest::audioprint(path);
        std::vector<uint8_t> bytes = tagtest::readbytes(path);
        size_t pos = atomat(bytes, "free");
        ASSERT_EQ(getbe32(&bytes[pos]), 8u);
        ASSERT_EQ(std::string(bytes.begin() + long(pos) + 12, bytes.begin() + long(pos) + 16), "mdat");
        putbe32(&bytes[pos], name[0] == 'f' ? uint32_t(bytes.size()) : 20u);
        tagtest::writebytes(path, bytes);

        Tag_QTAtoms tag(path.c_str(), false);
        tag.setTitle("Repaired");
        tag.setBPM(101);
        tag.close();
        auto m = tagtest::mutagen(path);
        EXPECT_EQ(m["©nam"], "Repaired");
        EXPECT_EQ(m["tmpo"], "101");
        if (name[0] == 'n') {
            EXPECT_EQ(m["udta.size"], "4112");
        }
        EXPECT_EQ(tagtest::audioprint(path), audio);
    }
}

TEST(Tag_QTAtoms, EveryTrackKeepsItsChunkOffsets)
{
    // Two audio streams: both tables must follow a moved 'mdat'.
    TempDir dir;
    std::string path = dir.path("two.m4a");
    ASSERT_EQ(
        tagtest::run(
            "ffmpeg -v error -y -f lavfi -i sine=frequency=300:duration=2 -f lavfi -i sine=frequency=500:duration=2 "
            "-map 0 -map 1 -c:a aac -fflags +bitexact -movflags +faststart " +
            tagtest::shellquote(path)),
        0);
    auto print = [&](int stream) {
        return testsupport::runcommand("ffmpeg -v error -i " + tagtest::shellquote(path) +
                                       " -map 0:a:" + std::to_string(stream) + " -f md5 -");
    };
    const std::string md5a = print(0), md5b = print(1);
    ASSERT_NE(md5a, md5b);
    Tag_QTAtoms tag(path.c_str(), false);
    std::string longText(5000, 'x'); // more than all reserved space
    tag.setComment(longText.c_str());
    tag.close();
    EXPECT_EQ(print(0), md5a);
    EXPECT_EQ(print(1), md5b);
    EXPECT_EQ(tagtest::mutagen(path)["©cmt"], longText);
}
