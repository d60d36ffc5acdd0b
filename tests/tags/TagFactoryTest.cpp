// Choosing the implementation by file name; getters with no room.
#include "tags/Tag.h"
#include "TagTestSupport.h"

#include <cstring>
#include <memory>

using namespace ovra;
using tagtest::codeof;
using tagtest::TempDir;

namespace {
std::unique_ptr<Tag> opened(const std::string& path, bool readOnly = true)
{
    return std::unique_ptr<Tag>(openTag(path.c_str(), readOnly));
}

} // namespace

TEST(openTag, ChoosesTheImplementationByTheSuffixInAnyCaseAndReportsTheLastError)
{
    TempDir dir;
    EXPECT_STREQ(opened(dir.copy("v23.mp3", "song.MP3"))->implementation(), "ID3Lib");
    EXPECT_STREQ(opened(dir.copy("v23.mp3", "song.Mp3"))->implementation(), "ID3Lib");
    EXPECT_STREQ(opened(dir.copy("v24.mp3", "four.mp3"))->implementation(), "TagLib") << "ID3v2.4 goes to TagLib";
    EXPECT_STREQ(opened(dir.copy("v1only.mp3"))->implementation(), "ID3Lib");
    EXPECT_STREQ(opened(dir.copy("fast.m4a", "song.M4A"))->implementation(), "QTAtoms");
    EXPECT_EQ(opened(dir.copy("fast.m4a", "x.m4a"))->kind(), TAG_KIND_ATOM);
    EXPECT_EQ(opened(dir.copy("v24.mp3", "y.mp3"))->kind(), TAG_KIND_TAGLIB);
    EXPECT_EQ(opened(dir.copy("v23.mp3", "z.mp3"))->kind(), TAG_KIND_ID3LIB);

    for (const char* name : {"song.mp3.bak", "song", "song.m4b", "song.flac"}) {
        std::string path = dir.copy("v23.mp3", name);
        EXPECT_EQ(codeof([&] { opened(path); }), TAG_ERR_UNUSABLE) << name;
    }
    // Neither id3lib (nothing to read) nor TagLib (no file) opens it; MP4 has no fallback.
    EXPECT_EQ(codeof([&] { opened(dir.path("missing.mp3")); }), TAG_ERR_UNUSABLE);
    EXPECT_EQ(codeof([&] { opened(dir.copy("brand_m4b.m4a")); }), 20201);
}

TEST(Tag, AGetterWithRoomForNothingWritesOnlyTheTerminator)
{
    TempDir dir;
    for (const char* name : {"v23.mp3", "v24.mp3", "ap_gnre.m4a"}) {
        auto tag = opened(dir.copy(name));
        char buffer[4] = {'x', 'y', 'z', 'w'};
        tag->getTitle(buffer, 1);
        EXPECT_EQ(buffer[0], 0) << name;
        EXPECT_EQ(buffer[1], 'y') << name;
    }
}
