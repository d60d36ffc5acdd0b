// The data record after another tagger converted the ID3v2 tag between
// v2.3 (id3lib's route: a GEOB frame) and v2.4 (TagLib's: a comment): found
// through either route, and only ever one after Tempix writes again.
#include "TagTestSupport.h"
#include "tags/Tag.h"

#include <gtest/gtest.h>

#include <memory>

using namespace ovra;
using tagtest::TempDir;

using tagtest::record;

namespace {

// Records in the tag as mutagen sees them, GEOB and comment frames both.
int records(const std::string& path)
{
    return std::stoi(
        testsupport::pythonoutput("import sys\nimport mutagen.id3 as id3\nt = id3.ID3(sys.argv[1])\n"
                                  "print(sum(1 for f in t.getall('GEOB') + t.getall('COMM') if f.desc == '" +
                                      std::string(TRACKDATA_OWNER) + "'))",
                                  {path}));
}

// Every frame that is not the record's, the volume's or the tempo's.
std::map<std::string, std::string> foreignframes(const std::string& path)
{
    auto keys = tagtest::mutagen(path);
    std::erase_if(keys, [](const auto& kv) {
        const std::string& k = kv.first;
        return k == "version" || k.find(TRACKDATA_OWNER) != std::string::npos || k.rfind("RVA", 0) == 0 ||
            k.rfind("TBPM", 0) == 0;
    });
    return keys;
}

// A title set and the tag saved, as Picard and beets do through mutagen: the
// command, the track's path follows.
std::string bymutagen(int version)
{
    return std::string(TEMPIX_PYTHON) + " -c " +
        tagtest::shellquote("import sys\nimport mutagen.id3 as id3\nt = id3.ID3(sys.argv[1])\n"
                            "t.add(id3.TIT2(encoding=3, text='Renamed'))\nt.save(v2_version=" +
                            std::to_string(version) + ")");
}

} // namespace

// The tempo and the record are found after the conversion and written again
// as one; mutagen drops the ID3v2.3 volume frame when it makes the tag
// ID3v2.4: the volume reads as not there until Tempix writes it again.
TEST(RecordConversion, TheRecordIsFoundAfterAConversionAndStaysOneWhenWrittenAgain)
{
    const struct {
        const char* name;
        const char* fixture; // processed by Tempix first
        std::string command;
        const char* version; // after the conversion
        bool volumeDropped = false;
    } converters[] = {
        {"mutagen to v2.4", "v23.mp3", bymutagen(4), "2.4", true},
        {"eyeD3 to v2.4", "v23.mp3", "eyeD3 -Q --to-v2.4", "2.4"},
        {"mutagen to v2.3", "v24.mp3", bymutagen(3), "2.3"},
        {"eyeD3 to v2.3", "v24.mp3", "eyeD3 -Q --to-v2.3", "2.3"},
        {"kid3-cli to v2.4", "v23.mp3", "kid3-cli -c to24", "2.4"},
        {"kid3-cli to v2.3", "v24.mp3", "kid3-cli -c to23", "2.3"},
    };
    TempDir dir;
    int n = 0;
    for (const auto& c : converters) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.copy(c.fixture, std::to_string(n++) + ".mp3");
        const std::vector<uint8_t> first = tagtest::pattern(3, 11);
        tagtest::ourupdate(path, first);
        ASSERT_EQ(records(path), 1);
        ASSERT_EQ(tagtest::run(c.command + " " + tagtest::shellquote(path) + " >/dev/null 2>&1"), 0);
        ASSERT_EQ(tagtest::mutagen(path)["version"], c.version);

        EXPECT_EQ(record(path), first) << "the record where the other version keeps it";
        if (c.volumeDropped) {
            std::unique_ptr<Tag> tag(openTag(path.c_str(), true));
            EXPECT_EQ(tagtest::codeof([&] { tag->getRVA(); }), TAG_ERR_NOT_FOUND);
            EXPECT_EQ(tag->getBPM(), 123);
        }
        const auto others = foreignframes(path);
        const std::vector<uint8_t> second = tagtest::pattern(9, 5);
        tagtest::ourupdate(path, second);
        EXPECT_EQ(records(path), 1) << tagtest::hex(second);
        EXPECT_EQ(record(path), second);
        EXPECT_EQ(foreignframes(path), others);
        std::unique_ptr<Tag> tag(openTag(path.c_str(), true));
        // RVA2 (TagLib's route) keeps the volume in steps of 1/512 dB.
        EXPECT_NEAR(tag->getRVA(), -2000, 3) << "the volume is written again";
    }
}
