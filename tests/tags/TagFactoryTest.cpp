// Choosing the implementation by file name.
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
    EXPECT_STREQ(opened(dir.copy("v24.mp3", "four.mp3"))->implementation(), "TagLib") << "ID3v2.4 goes to TagLib";
    EXPECT_STREQ(opened(dir.copy("v1only.mp3"))->implementation(), "ID3Lib");
    EXPECT_STREQ(opened(dir.copy("fast.m4a", "song.M4A"))->implementation(), "QTAtoms");

    for (const char* name : {"song.mp3.bak", "song", "song.m4b"}) {
        std::string path = dir.copy("v23.mp3", name);
        EXPECT_EQ(codeof([&] { opened(path); }), TAG_ERR_UNUSABLE) << name;
    }
    // Neither id3lib (nothing to read) nor TagLib (no file) opens it.
    EXPECT_EQ(codeof([&] { opened(dir.path("missing.mp3")); }), TAG_ERR_UNUSABLE);
}
