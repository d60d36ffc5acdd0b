// Choosing the implementation by file name, and the dump.
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

std::string dumped(Tag& tag)
{
    FILE* out = std::tmpfile();
    tag.dump(out);
    std::rewind(out);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0)
        text.append(buffer, n);
    std::fclose(out);
    return text;
}
} // namespace

TEST(openTag, ChoosesTheImplementationByTheSuffixInAnyCase)
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
}

TEST(openTag, ReportsTheErrorOfTheLastImplementationTried)
{
    TempDir dir;
    // Neither id3lib (nothing to read) nor TagLib (no file) can open it.
    EXPECT_EQ(codeof([&] { opened(dir.path("missing.mp3")); }), TAG_ERR_UNUSABLE);
    EXPECT_EQ(codeof([&] { opened(dir.copy("brand_m4b.m4a")); }), 20201) << "no fallback for MP4";
}

TEST(Tag, DumpPrintsEveryValueOrItsErrorCode)
{
    TempDir dir;
    auto mp3 = opened(dir.copy("v23.mp3"));
    EXPECT_EQ(dumped(*mp3),
              "Implementation: ID3Lib\n"
              "Title: Title Three\n"
              "Artist: Artist Three\n"
              "Composer: Composer Three\n"
              "Album: Album Three\n"
              "Genre: Rock\n"
              "Comment: Comment text\n"
              "BPM: 128\n"
              "RVA: err=20602\n");

    auto rvad = opened(dir.copy("v23_rvad.mp3"));
    std::string text = dumped(*rvad);
    EXPECT_NE(text.find("\nRVA: -1000\n"), std::string::npos) << text;

    auto m4a = opened(dir.copy("ap_gnre.m4a"));
    text = dumped(*m4a);
    EXPECT_EQ(text.rfind("Implementation: QTAtoms\nTitle: AP Title\n", 0), 0u) << text;
    const std::string end = "BPM: 120\nRVA: err=20601\n";
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
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
