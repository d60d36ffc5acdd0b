// The relative volume as the helper reads it back from what the batch's tag
// layer wrote: every value, and one real file checked with mutagen too.
#include "ScriptTestSupport.h"
#include "script/TrackTagReader.h"
#include "tags/Tag_TagLib.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace scripttest;

TEST(TrackTagReader, EveryVolumeComesBackWithinFifteenOnBothSides)
{
    int worstBatch = 0, worstHelper = 0;
    for (int rva = -65535; rva <= 65535; ++rva) {
        int index = ovra::Tag_TagLib::rvaToIndex(rva);
        worstBatch = std::max(worstBatch, std::abs(ovra::Tag_TagLib::indexToRVA(index) - rva));
        worstHelper = std::max(worstHelper, std::abs(ovra::rvafromrva2index(index) - rva));
        ASSERT_EQ(ovra::rvafromrva2index(index), ovra::Tag_TagLib::indexToRVA(index)) << rva;
    }
    EXPECT_LE(worstBatch, 15);
    EXPECT_LE(worstHelper, 15);
}

TEST(TrackTagReader, TheLoudestTrackKeepsItsVolumeInARealFile)
{
    std::string dir = maketempdir("tagreader");
    std::string library = makelibrary(dir);
    ASSERT_FALSE(library.empty());
    std::string path = dir + "/one.mp3"; // ID3v2.4 with an RVA2 frame
    writefile(path, readfile(library.substr(0, library.rfind('/')) + "/Music & \"Stuff\"/one.mp3"));
    {
        ovra::Tag_TagLib tag(path.c_str(), false);
        tag.setRVA(-65535);
        tag.close();
    }
    ovra::Tag_TagLib reread(path.c_str(), true);
    EXPECT_LE(std::abs(reread.getRVA() + 65535), 15);
    ovra::TrackTagValues values;
    ASSERT_EQ(ovra::readtracktag(path, values), 0);
    EXPECT_TRUE(values.hasvolume);
    EXPECT_LE(std::abs(values.rva + 65535), 15);
    EXPECT_EQ(ovra::libraryvolumefromrva(values.rva), -255);
    EXPECT_EQ(plistquery(library, "from mutagen.id3 import ID3\nprint(ID3(" "'" + path +
                                      "').getall('RVA2')[0].gain)"),
              "-64.0\n");
    run("rm -rf " + shellquoted(dir));
}
