// One round trip for each tag writer and each fixture it takes: every field
// written is read back by mutagen and by a fresh read-only tag, the audio
// stays the same, and what the writer does not own is kept.
#include "tags/Base64.h"
#include "tags/Tag_ID3Lib.h"
#include "tags/Tag_QTAtoms.h"
#include "tags/Tag_TagLib.h"
#include "tags/VolumeScale.h"
#include "TagTestSupport.h"

#include <cstring>
#include <memory>

using namespace ovra;

namespace {

template <class T>
std::unique_ptr<Tag> opener(const char* path, bool readOnly)
{
    return std::make_unique<T>(path, readOnly);
}

struct Format {
    std::unique_ptr<Tag> (*open)(const char*, bool);
    // Mutagen's keys of title, artist, composer, album and genre (none: the
    // writer leaves them to others), then of comment, tempo and record.
    std::vector<const char*> textKeys;
    const char *commentKey, *tempoKey, *recordKey;
    bool base64; // the record as Base64 text, else as bytes (hex in read_tags.py)
    int rva;     // the volume written (0: none in this tag), as read back, its key and value
    int rvaBack;
    const char *volumeKey, *volumeValue;
};

const std::vector<const char*> ID3TEXTS = {"TIT2", "TPE1", "TCOM", "TALB", "TCON"};
const std::vector<const char*> MP4TEXTS = {"©nam", "©ART", "©wrt", "©alb", "©gen"};
const Format TAGLIB = {
    opener<Tag_TagLib>, ID3TEXTS,  "COMM::eng", "TBPM", "COMM:com.quillfen.tempix.trackdata:XXX", true, 1000,
    rva2indextorva(67), "RVA2::1", "67"};
const Format ID3LIB = {
    opener<Tag_ID3Lib>, {}, "COMM::eng", "TBPM", "GEOB:com.quillfen.tempix.trackdata", false, -1000, -1000, "RVAD",
    "-1000,-1000,0,0"};
const Format QTATOMS = {opener<Tag_QTAtoms>, MP4TEXTS, "©cmt", "tmpo", "udta.Tpix", false, 0, 0, nullptr, nullptr};

struct Row {
    const Format& format;
    const char* fixture;
    const char* version; // the ID3v2 version it must keep, or null
};

const Row ROWS[] = {
    {TAGLIB, "v24.mp3", nullptr},
    {TAGLIB, "v24_eyed3.mp3", nullptr},
    {TAGLIB, "v23.mp3", nullptr},
    {TAGLIB, "v23_utf16.mp3", nullptr},
    {TAGLIB, "empty24.mp3", nullptr},
    {ID3LIB, "notag.mp3", "2.3"},
    {ID3LIB, "v1only.mp3", "2.3"},
    {ID3LIB, "v22.mp3", "2.2"},
    {ID3LIB, "v23.mp3", "2.3"},
    {ID3LIB, "v23_nopad.mp3", "2.3"},
    {ID3LIB, "v23_utf16.mp3", "2.3"},
    {ID3LIB, "v23_rvad.mp3", "2.3"},
    {QTATOMS, "tail.m4a", nullptr},
    {QTATOMS, "fast.m4a", nullptr},
    {QTATOMS, "ffmeta.m4a", nullptr},
    {QTATOMS, "noudta_tail.m4a", nullptr},
    {QTATOMS, "noudta_fast.m4a", nullptr},
    {QTATOMS, "ap_gnre.m4a", nullptr},
    {QTATOMS, "ap_fast.m4a", nullptr},
    {QTATOMS, "mutagen_gen.m4a", nullptr},
    {QTATOMS, "mutagen_bigfree.m4a", nullptr},
    {QTATOMS, "mutagen_nofree.m4a", nullptr},
};

const char* const TEXTS[] = {"Tïtle ☃", "An Artist", "A Composer", "An Album", "Deep House"};
void (Tag::*const SETTERS[])(const char*) = {&Tag::setTitle, &Tag::setArtist, &Tag::setComposer, &Tag::setAlbum,
                                             &Tag::setGenre};
const char* const COMMENT = "wrïtten ☃ comment"; // not Latin-1

// The ID3v1 tag at the end of the file, or "".
std::string id3v1(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 128 || std::memcmp(&bytes[bytes.size() - 128], "TAG", 3) != 0)
        return "";
    return std::string(bytes.end() - 128, bytes.end());
}

} // namespace

TEST(TagRoundTrip, EveryWriterWritesWhatMutagenReadsAndKeepsTheAudioAndTheRest)
{
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.fixture);
        const Format& f = row.format;
        tagtest::TempDir dir;
        const std::string path = dir.copy(row.fixture);
        const auto before = tagtest::mutagen(path);
        const std::string oldId3v1 = id3v1(tagtest::readbytes(path));
        const tagtest::AudioPrint audio = tagtest::audioprint(path);
        ASSERT_EQ(audio.decoded.rfind("MD5=", 0), 0u) << audio;
        const std::vector<uint8_t> record = tagtest::pattern(7, 3);
        {
            std::unique_ptr<Tag> tag = f.open(path.c_str(), false);
            for (size_t i = 0; i < f.textKeys.size(); ++i)
                ((*tag).*SETTERS[i])(TEXTS[i]);
            tag->setComment(COMMENT);
            tag->setBPM(126);
            if (f.rva != 0)
                tag->setRVA(f.rva);
            tag->setData(TRACKDATA_OWNER, TRACKDATA_CODE, record.data(), int(record.size()));
            tag->close();
        }
        auto m = tagtest::mutagen(path);
        for (size_t i = 0; i < f.textKeys.size(); ++i) {
            if (i != 4 || std::string(row.fixture).rfind("ap_", 0) != 0) { // AtomicParsley's 'gnre' stays
                EXPECT_EQ(m[f.textKeys[i]], TEXTS[i]) << f.textKeys[i];
            }
        }
        EXPECT_EQ(m[f.commentKey], COMMENT);
        EXPECT_EQ(m[f.tempoKey], "126");
        if (m.count("TBPM.encoding") && !before.count("TBPM")) {
            EXPECT_EQ(m["TBPM.encoding"], "0") << "a new tempo frame holds Latin-1 text";
        }
        EXPECT_EQ(m[f.recordKey], f.base64 ? base64encode(record.data(), 64) : tagtest::hex(record));
        if (f.volumeKey) {
            EXPECT_EQ(m[f.volumeKey], f.volumeValue);
        }
        if (row.version) {
            EXPECT_EQ(m["version"], row.version) << "a tag keeps its version";
        }
        // Frames the writer does not own, an ID3v2.2 picture among them.
        for (const char* key : {"TIT2", "APIC.mime", "APIC.data"}) {
            if (before.count(key) != 0 && (f.textKeys.empty() || key[0] == 'A')) {
                EXPECT_EQ(m[key], before.at(key)) << key << " is kept";
            }
        }
        EXPECT_EQ(id3v1(tagtest::readbytes(path)), oldId3v1) << "ID3v1 kept as it was, none added";
        EXPECT_EQ(tagtest::audioprint(path), audio);

        std::unique_ptr<Tag> again = f.open(path.c_str(), true);
        EXPECT_EQ(again->getBPM(), 126);
        EXPECT_EQ(f.rva != 0 ? again->getRVA() : 0, f.rvaBack);
        EXPECT_EQ(tagtest::text(*again, &Tag::getComment), COMMENT);
        std::vector<uint8_t> back(64, 0);
        again->getData(TRACKDATA_OWNER, TRACKDATA_CODE, back.data(), 64);
        EXPECT_EQ(back, record);
        std::vector<uint8_t> part(40, 0xAA);
        again->getData(TRACKDATA_OWNER, TRACKDATA_CODE, part.data(), 32);
        EXPECT_TRUE(std::equal(part.begin(), part.begin() + 32, record.begin()));
        EXPECT_EQ(part[32], 0xAA) << "bytes past size are left alone";
    }
}
