// The id3lib tag: its RVAD bytes, and texts as eyeD3 and mutagen wrote them.
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

TEST(Tag_ID3Lib, CutsTextsToTheBuffer)
{
    // Its UTF-16 texts as read in full: DumpCommand.
    TempDir dir;
    Tag_ID3Lib utf16(dir.copy("v23_utf16.mp3").c_str(), true);
    char cut[5];
    utf16.getTitle(cut, sizeof cut);
    EXPECT_EQ(std::string(cut), "Ün\xC3") << "at most size - 1 bytes, the last sequence may be cut";
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
