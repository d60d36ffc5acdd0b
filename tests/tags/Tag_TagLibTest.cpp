// The TagLib tag: frames, the RVA2 conversions and the record, checked
// through mutagen on files made by lame, mutagen and eyeD3.
#include "tags/Tag_TagLib.h"
#include "tags/VolumeScale.h"
#include "TagTestSupport.h"

using namespace ovra;
using tagtest::codeof;
using tagtest::TempDir;

using tagtest::text;

TEST(VolumeScale, EveryConversionOnItsScale)
{
    struct Case {
        int (*convert)(int);
        int from, to;
    };
    const Case cases[] = {
        {rvatorva2index, -65535, -32768}, {rvatorva2index, -65508, -32768},   {rvatorva2index, -65507, -32767},
        {rvatorva2index, 65535, 3083},    {rvatorva2index, 1000, 67},         {rvatorva2index, -1000, -68},
        {rva2indextorva, -32768, -65522}, {rva2indextorva, -32767, -65494},   {rva2indextorva, 1, 15},
        {rva2indextorva, 3083, 65535},    {rva2indextorva, 32767, 65535},     {rvatopercent, 65535, 100},
        {rvatopercent, -32767, -50},      {rvatolibraryvolume, -65522, -255}, {rvatolibraryvolume, 995, 4},
        {rvatolibraryvolume, -1000, -4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.convert(c.from), c.to) << c.from;
    EXPECT_EQ(percenttolibraryvolume(40), 102);
    EXPECT_EQ(percenttolibraryvolume(-100), -255);
    EXPECT_EQ(libraryvolumetopercent(102), 40);
    EXPECT_EQ(libraryvolumetopercent(-255), -100);
    // Every volume comes back from an RVA2 frame within 15, the batch's tolerance.
    for (int rva = -65535; rva <= 65535; ++rva)
        ASSERT_LE(std::abs(rva2indextorva(rvatorva2index(rva)) - rva), 15) << rva;
}

TEST(Tag_TagLib, FilesWithoutAnId3v2TagAreRefused)
{
    TempDir dir;
    for (const char* name : {"v1only.mp3", "notag.mp3"})
        EXPECT_EQ(codeof([&] { Tag_TagLib(dir.copy(name).c_str(), false); }), TAG_ERR_UNUSABLE) << name;
}

// Mutagen's -3 dB in an RVA2 frame, on our scale.
TEST(Tag_TagLib, ReadsTheVolumeOtherTaggersWrote)
{
    TempDir dir;
    EXPECT_EQ(Tag_TagLib(dir.copy("v24.mp3").c_str(), true).getRVA(), rva2indextorva(-1536));
}

TEST(Tag_TagLib, TheCommentAndTheRecordAreTellApartByDescription)
{
    TempDir dir;
    std::string path = dir.copy("v24.mp3");
    // The record's frame comes first, the plain comment second.
    ASSERT_EQ(tagtest::id3script(
                  path,
                  "t = id3.ID3(path)\n"
                  "t.delall('COMM')\n"
                  "t.add(id3.COMM(encoding=0, lang='XXX', desc='com.quillfen.tempix.trackdata', text='TWFu'))\n"
                  "t.add(id3.COMM(encoding=3, lang='eng', desc='', text='plain'))\n"
                  "t.save(path)"),
              0);
    Tag_TagLib tag(path.c_str(), false);
    EXPECT_EQ(text(tag, &Tag::getComment), "plain");
    char data[4] = {0, 0, 0, 'z'};
    tag.getData(TRACKDATA_OWNER, TRACKDATA_CODE, data, 3);
    EXPECT_EQ(std::string(data, 4), "Manz");
    EXPECT_EQ(codeof([&] { tag.getData("someone.else", 0, data, 3); }), TAG_ERR_NOT_FOUND);
}
