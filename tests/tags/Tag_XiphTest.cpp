// FLAC, Ogg Vorbis and Opus files made by flac, metaflac, oggenc and opusenc:
// our two fields are written and read back by mutagen, and nothing else of
// the file changes; files that cannot be updated safely are left alone.
#include "tags/Base64.h"
#include "tags/Tag.h"
#include "TagTestSupport.h"

#include <memory>

using namespace ovra;
using tagtest::TempDir;

namespace {

std::vector<uint8_t> record() { return tagtest::pattern(3, 11); }

void write(const std::string& path, int bpm)
{
    std::unique_ptr<Tag> tag(openTag(path.c_str(), false));
    tag->setBPM(bpm);
    tag->setData(TRACKDATA_OWNER, TRACKDATA_CODE, record().data(), 64);
    tag->close();
}

// What the format's own checker says is wrong (flac -t, ogginfo), or "".
std::string problems(const std::string& path, bool flac)
{
    std::string out;
    if (flac)
        return tagtest::run("flac -t -s -w - < " + testsupport::shellquote(path) + " 2>&1", &out) == 0 ? "" : out;
    tagtest::run("ogginfo " + testsupport::shellquote(path) + " 2>&1 | grep -E 'WARNING|ERROR|Warning|Error'", &out);
    return out;
}

struct Case {
    const char* fixture;
    const char* as;         // the name it is tried under
    const char* tempoField; // the tempo field before the write, or null
};

// Another program's tempo under a lower-case name, padding and a seek table,
// cue sheet and picture; no padding at all; an ID3v2 tag in front; FLAC
// named .ogg; Vorbis with mixed-case and repeated names; Opus with a picture
// over two pages; Vorbis whose header page is full, so that later pages are
// renumbered; FLAC with only its stream info, which gets a comment block.
const Case CASES[] = {
    {"comments.flac", "comments.flac", "field.4"},
    {"nopad.flac", "nopad.flac", nullptr},
    {"id3.flac", "id3.flac", "field.4"},
    {"comments.flac", "flac-inside.ogg", "field.4"},
    {"comments.ogg", "comments.ogg", nullptr},
    {"picture.opus", "picture.opus", nullptr},
    {"full.ogg", "full.oga", nullptr},
    {"bare.flac", "bare.flac", nullptr},
};

} // namespace

TEST(Tag_Xiph, OurFieldsAreWrittenAndEverythingElseIsKept)
{
    const std::string encoded = base64encode(record().data(), 64);
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.as);
        TempDir dir;
        const std::string path = dir.copy(c.fixture, c.as);
        const std::vector<uint8_t> original = testsupport::readbytes(path);
        auto before = tagtest::mutagen(path);
        if (std::string(c.fixture) == "bare.flac")
            before.erase("error"); // no comment block yet: nothing to read
        const tagtest::AudioPrint audio = tagtest::audioprint(path);
        ASSERT_EQ(before.count("error"), 0u) << before.at("error");
        {
            std::unique_ptr<Tag> tag(openTag(path.c_str(), false));
            EXPECT_EQ(tagtest::codeof([&] { tag->setRVA(100); }), TAG_ERR_UNSUPPORTED);
            EXPECT_EQ(tagtest::codeof([&] { tag->getBPM(); }), c.tempoField ? 0 : TAG_ERR_NOT_FOUND);
        }

        write(path, 123);
        const auto after = tagtest::mutagen(path);
        EXPECT_EQ(after.count("tag.BPM") ? after.at("tag.BPM") : "", "123");
        EXPECT_EQ(after.count("tag.TEMPIX_ANALYSIS") ? after.at("tag.TEMPIX_ANALYSIS") : "", encoded);
        for (const auto& [key, value] : before) {
            if (key == "padding" || key.starts_with("tag."))
                continue;
            if (c.tempoField && key == c.tempoField)
                EXPECT_EQ(after.at(key), "bpm=123") << "the name keeps its case";
            else
                EXPECT_EQ(after.count(key) ? after.at(key) : "(gone)", value) << key;
        }
        size_t added = 0;
        for (const auto& [key, value] : after)
            added += key.starts_with("field.") && before.count(key) == 0 ? 1 : 0;
        EXPECT_EQ(added, c.tempoField ? 1u : 2u);
        EXPECT_EQ(tagtest::audioprint(path), audio);
        EXPECT_EQ(problems(path, std::string(c.fixture).ends_with(".flac")), "");
        if (std::string(c.fixture) == "id3.flac") {
            const std::vector<uint8_t> now = testsupport::readbytes(path);
            EXPECT_TRUE(std::equal(original.begin(), original.begin() + 52, now.begin())) << "the ID3v2 tag in front";
        }
        if (std::string(c.fixture) == "comments.flac") {
            EXPECT_EQ(testsupport::readbytes(path).size(), original.size()) << "the padding took up the change";
        }

        EXPECT_EQ(std::unique_ptr<Tag>(openTag(path.c_str(), true))->getBPM(), 123);
        EXPECT_EQ(tagtest::record(path), record());
        // The same values again change no byte.
        const std::vector<uint8_t> written = testsupport::readbytes(path);
        write(path, 123);
        EXPECT_EQ(testsupport::readbytes(path), written);
    }
}

TEST(Tag_Xiph, FilesThatCannotBeUpdatedSafelyAreLeftAsTheyWere)
{
    TempDir dir;
    // A chained Ogg file: its tags can be read, but a write is refused.
    const std::string chained = dir.copy("chained.ogg");
    const std::vector<uint8_t> original = testsupport::readbytes(chained);
    EXPECT_EQ(tagtest::codeof([&] { write(chained, 120); }), TAG_ERR_STREAM);
    EXPECT_EQ(testsupport::readbytes(chained), original);

    // Ogg FLAC, an MP3 named .flac, a FLAC cut inside its metadata: no tag.
    const std::vector<uint8_t> flac = testsupport::readbytes(tagtest::fixtures() + "/comments.flac");
    testsupport::writebytes(dir.path("cut.flac"), std::vector<uint8_t>(flac.begin(), flac.begin() + 300));
    for (const std::string& path : {dir.copy("oggflac.oga"), dir.copy("v24.mp3", "mp3.flac"), dir.path("cut.flac")}) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> was = testsupport::readbytes(path);
        EXPECT_EQ(tagtest::codeof([&] { std::unique_ptr<Tag> tag(openTag(path.c_str(), false)); }), TAG_ERR_UNUSABLE);
        EXPECT_EQ(testsupport::readbytes(path), was);
    }
}
