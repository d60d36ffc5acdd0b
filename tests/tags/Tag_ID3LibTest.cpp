// The id3lib tag on files made by lame, id3v2, eyeD3 and mutagen (and one
// ID3v2.2 tag put together here, as no tagger writes that version any more).
#include "tags/Tag_ID3Lib.h"
#include "TagTestSupport.h"

using namespace ovra;
using tagtest::codeof;
using tagtest::TempDir;

namespace {
using tagtest::text;

std::vector<uint8_t> rvad(int rva)
{
    std::vector<uint8_t> b(Tag_ID3Lib::RVAD_SIZE);
    Tag_ID3Lib::encodeRVAD(rva, b.data());
    return b;
}
} // namespace

TEST(Tag_ID3Lib, RvadBytesCarrySignAndMagnitudeForBothChannels)
{
    EXPECT_EQ(rvad(-1000), (std::vector<uint8_t>{0x00, 0x10, 0x03, 0xE8, 0x03, 0xE8, 0, 0, 0, 0}));
    EXPECT_EQ(rvad(0), (std::vector<uint8_t>{0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rvad(65535), (std::vector<uint8_t>{0x03, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    for (int v : {-65535, -1000, -1, 0, 1, 1000, 65535})
        EXPECT_EQ(Tag_ID3Lib::decodeRVAD(rvad(v).data(), Tag_ID3Lib::RVAD_SIZE), v);

    const std::vector<std::vector<uint8_t>> refused = {
        {0x03, 0x10, 0x03, 0xE8, 0x03, 0xE9, 0, 0, 0, 0}, // channels differ
        {0x03, 0x08, 0x03, 0xE8, 0x03, 0xE8, 0, 0, 0, 0}, // 8 bits a value
        {0x03, 0x10, 0x03, 0xE8, 0x03, 0xE8, 0, 1, 0, 0}, // peaks present
        {0x01, 0x10, 0x03, 0xE8, 0x03, 0xE8, 0, 0, 0, 0}, // one channel up, one down
    };
    for (const auto& bytes : refused)
        EXPECT_EQ(codeof([&] { Tag_ID3Lib::decodeRVAD(bytes.data(), bytes.size()); }), TAG_ERR_UNUSABLE);
    EXPECT_EQ(codeof([&] { Tag_ID3Lib::decodeRVAD(rvad(5).data(), 9); }), TAG_ERR_UNUSABLE);
}

TEST(Tag_ID3Lib, Id3v24TagsAreLeftToTagLib)
{
    TempDir dir;
    EXPECT_EQ(codeof([&] { Tag_ID3Lib(dir.copy("v24.mp3").c_str(), false); }), TAG_ERR_UNUSABLE);
    EXPECT_EQ(codeof([&] { Tag_ID3Lib(dir.copy("v24_eyed3.mp3").c_str(), false); }), TAG_ERR_UNUSABLE);
    EXPECT_EQ(codeof([&] { Tag_ID3Lib(dir.path("missing.mp3").c_str(), false); }), TAG_ERR_NOT_FOUND);
    tagtest::writebytes(dir.path("tiny.mp3"), {'I', 'D'});
    EXPECT_EQ(codeof([&] { Tag_ID3Lib(dir.path("tiny.mp3").c_str(), false); }), TAG_ERR_NOT_FOUND);
}

TEST(Tag_ID3Lib, ReadsLatin1AndUtf16TextsAndGenreReferences)
{
    // The ID3v2.3 fixtures through tempix-cli --dump (DumpCommand).
    TempDir dir;
    Tag_ID3Lib utf16(dir.copy("v23_utf16.mp3").c_str(), true);
    EXPECT_EQ(text(utf16, &Tag::getArtist), "Ärtist");
    char cut[5];
    utf16.getTitle(cut, sizeof cut);
    EXPECT_EQ(std::string(cut), "Ün\xC3") << "at most size - 1 bytes, the last sequence may be cut";

    Tag_ID3Lib v22(dir.copy("v22.mp3").c_str(), true);
    EXPECT_EQ(text(v22, &Tag::getTitle), "Twenty Two");
    EXPECT_EQ(text(v22, &Tag::getGenre), "Rock");
    EXPECT_EQ(v22.getBPM(), 99);

    Tag_ID3Lib v1(dir.copy("v1only.mp3").c_str(), true);
    EXPECT_EQ(text(v1, &Tag::getTitle), "Old Title");
    EXPECT_EQ(text(v1, &Tag::getGenre), "Rock");
    EXPECT_EQ(codeof([&] { v1.getBPM(); }), TAG_ERR_NOT_FOUND);
}

// Genre texts that are not references stay as they are; a tempo that is no
// number is unusable.
TEST(Tag_ID3Lib, FramesWithOddTextsAreReadAsTheyAreOrRefused)
{
    const struct {
        const char* frame;
        const char* stored;
        const char* expected; // null: unusable
    } cases[] = {{"TCON", "(17)Rock", "Rock"}, {"TCON", "Rock  ", "Rock"},    {"TCON", "(RX)", "(RX)"},
                 {"TCON", "(200)", "(200)"},   {"TCON", "(147)", "Synthpop"}, {"TCON", "(0)", "Blues"},
                 {"TBPM", "fast", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        TempDir dir;
        std::string path = dir.copy("notag.mp3");
        ASSERT_EQ(tagtest::id3script(path,
                                     std::string("t = id3.ID3()\nt.add(id3.") + c.frame + "(encoding=0, text='" +
                                         c.stored + "'))\nt.save(path, v2_version=3)"),
                  0);
        Tag_ID3Lib tag(path.c_str(), true);
        if (c.expected)
            EXPECT_EQ(text(tag, &Tag::getGenre), c.expected);
        else
            EXPECT_EQ(codeof([&] { tag.getBPM(); }), TAG_ERR_UNUSABLE);
    }
}

TEST(Tag_ID3Lib, ARecordIsFoundByItsOwnerAmongOtherObjects)
{
    TempDir dir;
    std::string path = dir.copy("v23.mp3");
    ASSERT_EQ(
        tagtest::id3script(
            path,
            "t = id3.ID3(path)\n"
            "t.add(id3.GEOB(encoding=0, mime='application/x-foo', filename='f', desc='other.owner', data=b'xyz'))\n"
            "t.save(path, v2_version=3)"),
        0);
    Tag_ID3Lib tag(path.c_str(), false);
    EXPECT_EQ(codeof([&] {
                  char b[4];
                  tag.getData(TRACKDATA_OWNER, 0, b, 4);
              }),
              TAG_ERR_NOT_FOUND);
    const char mine[] = "mine";
    tag.setData(TRACKDATA_OWNER, 0, mine, 4);
    char other[3];
    tag.getData("other.owner", 0, other, 3);
    EXPECT_EQ(std::string(other, 3), "xyz");
    tag.close();
    auto m = tagtest::mutagen(path);
    EXPECT_EQ(m["GEOB:other.owner"], "78797a");
    EXPECT_EQ(m["GEOB:com.quillfen.tempix.trackdata"], "6d696e65");
}
