// ReplayGain values through the tag layer, read back by mutagen and FFmpeg;
// values written by loudgain read through the tag layer; and the data
// record after other taggers converted the ID3v2 tag.
#include "TagTestSupport.h"
#include "tags/Tag.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace ovra;
using tagtest::TempDir;
using tagtest::writegain;

namespace {

const ReplayGain WRITTEN{-3.56, 0.987654, -4.21, 1.0};

ReplayGain readgain(const std::string& path)
{
    std::unique_ptr<Tag> tag(openTag(path.c_str(), true));
    return tag->getReplayGain();
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// mutagen's view without the keys a write may change: the ReplayGain keys
// and Vorbis fields themselves and the sizes of the containers that hold
// them. Every other Vorbis field keeps its place (its number).
std::map<std::string, std::string> others(std::map<std::string, std::string> keys)
{
    std::erase_if(keys, [](const auto& kv) {
        const std::string k = upper(kv.first), v = upper(kv.second);
        return k.find("REPLAYGAIN_") != std::string::npos || k.find("R128_") != std::string::npos ||
            v.starts_with("REPLAYGAIN_") || v.starts_with("R128_") || k.find(".SIZE") != std::string::npos ||
            k == "ILST.CHILDREN" || k == "PADDING";
    });
    return keys;
}

// The output gain of an Opus header, as the file holds it.
std::string opusoutputgain(const std::string& path)
{
    return testsupport::pythonoutput("import struct,sys\nd = open(sys.argv[1], 'rb').read()\n"
                                     "i = d.find(b'OpusHead')\nprint(struct.unpack('<h', d[i + 16:i + 18])[0])",
                                     {path});
}

// mutagen's view with the Vorbis fields (printed by position) also by name.
std::map<std::string, std::string> mutagennamed(const std::string& path)
{
    auto keys = tagtest::mutagen(path);
    for (const auto& [k, v] : std::map<std::string, std::string>(keys))
        if (k.rfind("field.", 0) == 0 && v.find('=') != std::string::npos)
            keys["tag." + v.substr(0, v.find('='))] = v.substr(v.find('=') + 1);
    return keys;
}

} // namespace

// Each format and route: what is written reads back through the tag layer
// and mutagen, in the form each format wants, and nothing else changes; the
// gain of an Opus header is never touched.
TEST(ReplayGain, WritesEachFormatsFieldsAndKeepsEverythingElse)
{
    struct Case {
        const char* fixture;
        std::map<std::string, std::string> expected; // mutagen key -> value
    };
    const std::map<std::string, std::string> id3 = {{"TXXX:REPLAYGAIN_TRACK_GAIN", "-3.56 dB"},
                                                    {"TXXX:REPLAYGAIN_TRACK_PEAK", "0.987654"},
                                                    {"TXXX:REPLAYGAIN_ALBUM_GAIN", "-4.21 dB"},
                                                    {"TXXX:REPLAYGAIN_ALBUM_PEAK", "1.000000"}};
    const Case cases[] = {
        {"v23.mp3", id3},
        {"v24.mp3", id3},
        {"notag.mp3", id3},
        {"v22.mp3", {{"TXXX:REPLAYGAIN_TRACK_GAIN", "-3.56 dB"}}},
        {"mutagen_gen.m4a",
         {{"----:com.apple.iTunes:replaygain_track_gain", "-3.56 dB"},
          {"----:com.apple.iTunes:replaygain_track_peak", "0.987654"},
          {"----:com.apple.iTunes:replaygain_album_gain", "-4.21 dB"},
          {"----:com.apple.iTunes:replaygain_album_peak", "1.000000"}}},
        {"noudta_fast.m4a", {{"----:com.apple.iTunes:replaygain_album_peak", "1.000000"}}},
        {"comments.flac", {{"tag.REPLAYGAIN_TRACK_GAIN", "-3.56 dB"}, {"tag.REPLAYGAIN_ALBUM_PEAK", "1.000000"}}},
        {"comments.ogg", {{"tag.REPLAYGAIN_TRACK_PEAK", "0.987654"}, {"tag.REPLAYGAIN_ALBUM_GAIN", "-4.21 dB"}}},
        // -3.56 - 5 dB in 1/256 dB: -2191.36; -4.21 - 5: -2357.76.
        {"picture.opus", {{"tag.R128_TRACK_GAIN", "-2191"}, {"tag.R128_ALBUM_GAIN", "-2358"}}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::string path = dir.copy(c.fixture);
        auto before = mutagennamed(path);
        ASSERT_FALSE(before.count("error")) << before.at("error");
        // A file without an ID3v2 tag gets an ID3v2.3 one.
        if (before.count("version") && before["version"] == "none")
            before["version"] = "2.3";
        const tagtest::AudioPrint audio = tagtest::audioprint(path);
        const bool opus = std::string(c.fixture).ends_with(".opus");
        const std::string headerGain = opus ? opusoutputgain(path) : "";
        writegain(path, WRITTEN);
        auto after = mutagennamed(path);
        for (const auto& [key, value] : c.expected)
            EXPECT_EQ(after[key], value) << key;
        EXPECT_EQ(others(after), others(before));
        EXPECT_EQ(tagtest::audioprint(path), audio);

        EXPECT_EQ(opus ? opusoutputgain(path) : "", headerGain);

        const ReplayGain back = readgain(path);
        ASSERT_TRUE(back.trackGain && back.albumGain);
        EXPECT_NEAR(*back.trackGain, -3.56, opus ? 1.0 / 512 : 1e-9);
        EXPECT_NEAR(*back.albumGain, -4.21, opus ? 1.0 / 512 : 1e-9);
        if (opus) {
            EXPECT_FALSE(back.trackPeak || back.albumPeak);
            for (const auto& [k, v] : after)
                EXPECT_EQ(v.find("REPLAYGAIN_"), std::string::npos) << k;
        } else {
            EXPECT_EQ(back, WRITTEN);
        }
        // A second write without album values leaves their fields.
        writegain(path, {-1.0, 0.5, std::nullopt, std::nullopt});
        EXPECT_NEAR(*readgain(path).albumGain, -4.21, 1.0 / 512);
    }
}

// What loudgain wrote reads back as its values, whichever case it used;
// writing over it keeps the name as it was and adds no second field.
TEST(ReplayGain, ReadsWhatLoudgainWroteAndReplacesItInPlace)
{
    struct Case {
        const char* fixture;
        const char* options;
    } const cases[] = {
        {"notag.mp3", "-I 3"}, {"notag.mp3", "-I 4"}, {"notag.mp3", "-I 3 -L"}, {"tail.m4a", ""},
        {"tail.m4a", "-L"},    {"comments.flac", ""}, {"comments.ogg", ""},     {"picture.opus", ""},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + c.options);
        const std::string path = dir.copy(c.fixture, std::to_string(n++) + "-" + c.fixture);
        ASSERT_EQ(tagtest::run(std::string("loudgain -q -a -s i ") + c.options + " " + tagtest::shellquote(path) +
                               " >/dev/null 2>&1"),
                  0);
        // loudgain's own figures, as mutagen reads them.
        const std::string theirs = testsupport::pythonoutput(
            "import mutagen,sys\nf = mutagen.File(sys.argv[1])\nt = f.tags\n"
            "def get(k):\n"
            "    for key in t.keys():\n"
            "        if key.lower() in ('txxx:' + k, k, '----:com.apple.itunes:' + k):\n"
            "            v = t[key]\n"
            "            v = v.text[0] if hasattr(v, 'text') else v[0]\n"
            "            return v.decode() if isinstance(v, bytes) else str(v)\n"
            "    return 'none'\n"
            "print(get('replaygain_track_gain'), get('replaygain_track_peak'), get('r128_track_gain'))",
            {path});
        const ReplayGain got = readgain(path);
        ASSERT_TRUE(got.trackGain);
        char mine[96];
        if (std::string(c.fixture).ends_with(".opus")) {
            std::snprintf(mine, sizeof mine, "none none %d\n", r128gain(*got.trackGain));
        } else {
            ASSERT_TRUE(got.trackPeak);
            std::snprintf(mine, sizeof mine, "%s %s none\n", replaygaintext(*got.trackGain).c_str(),
                          replaygainpeaktext(*got.trackPeak).c_str());
        }
        EXPECT_EQ(theirs, mine);
        EXPECT_TRUE(got.albumGain);

        const auto before = tagtest::mutagen(path);
        writegain(path, {1.25, 0.5, 1.5, 0.75});
        const auto after = tagtest::mutagen(path);
        EXPECT_EQ(after.size(), before.size()) << "no field added next to loudgain's";
        const ReplayGain now = readgain(path);
        EXPECT_NEAR(*now.trackGain, 1.25, 1.0 / 512);
        EXPECT_NEAR(*now.albumGain, 1.5, 1.0 / 512);
    }
}
