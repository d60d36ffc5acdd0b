// tempix-cli --replaygain on a folder of one album in three formats: the dry
// run names what the real run writes, the values agree with loudgain's, a
// second run writes nothing, and a file another tagger converted is still up
// to date.
#include "support/Process.h"
#include "support/Readers.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using testsupport::run;
using testsupport::shellquote;

namespace {

const std::string CLI = TEMPIX_BINARY_DIR "/bin/tempix-cli";
const std::string MATERIAL = TEMPIX_MATERIAL_DIR;

int count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The ReplayGain fields as mutagen reads them (any format), "" when absent.
std::map<std::string, std::string> replaygain(const std::string& path)
{
    return testsupport::keyvalues(testsupport::pythonoutput(
        "import sys, mutagen\nf = mutagen.File(sys.argv[1])\n"
        "for k, v in (f.tags.items() if f.tags is not None else []):\n"
        "    k = k.split(':')[-1].upper()\n"
        "    if 'REPLAYGAIN' in k or k.startswith('R128'):\n"
        "        t = v[0] if isinstance(v, list) else (v.text[0] if hasattr(v, 'text') else v)\n"
        "        t = t.decode() if isinstance(t, bytes) else str(t)\n"
        "        print(k + '=' + t)\n",
        {path}));
}

// Runs python code on a file, with mutagen at hand.
int python(const std::string& code, const std::string& file)
{
    return run(std::string(TEMPIX_PYTHON) + " -c " + shellquote("import sys, mutagen, mutagen.id3 as id3\n" + code) +
               " " + shellquote(file));
}

// loudgain's figures for the files (-O: one tab-separated line each; the
// album's gain with -a in the last column group), without tagging.
std::vector<std::vector<std::string>> loudgain(const std::vector<std::string>& files, bool album)
{
    std::string command = "loudgain -q -O " + std::string(album ? "-a " : "");
    for (const std::string& f : files)
        command += shellquote(f) + " ";
    std::string out;
    EXPECT_EQ(run(command + "2>/dev/null", &out), 0);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, '\t');)
            cells.push_back(cell);
        if (cells.size() > 8 && cells[0] != "File") // not the header
            rows.push_back(cells);
    }
    return rows;
}

double number(const std::string& text) { return std::atof(text.c_str()); }

class ReplayGainCli : public ::testing::Test {
protected:
    testsupport::TempDir scratch;
    fs::path home = scratch.root();
    fs::path album = home / "Album";
    std::vector<std::string> tracks;

    void SetUp() override
    {
        fs::create_directories(album);
        const std::string mp3 = (album / "1.mp3").string(), flac = (album / "2.flac").string(),
                          ogg = (album / "3.ogg").string();
        fs::copy_file(MATERIAL + "/beat128_stereo44_lame.mp3", mp3);
        ASSERT_EQ(run("ffmpeg -v error -i " + shellquote(MATERIAL + "/beat85_mono48_lame.mp3") + " -c:a flac " +
                      shellquote(flac)),
                  0);
        ASSERT_EQ(run("ffmpeg -v error -i " + shellquote(MATERIAL + "/beat140_stereo44_noxing.mp3") +
                      " -c:a libvorbis " + shellquote(ogg)),
                  0);
        tracks = {mp3, flac, ogg};
        for (const std::string& t : tracks)
            ASSERT_EQ(python("f = mutagen.File(sys.argv[1], easy=True)\nf['album'], f['artist'] = 'One Album', "
                             "'Tempix Tests'\nf.save()",
                             t),
                      0);
    }

    int cli(const std::string& arguments, std::string* out)
    {
        return run("env HOME=" + shellquote(home.string()) + " XDG_CONFIG_HOME= XDG_STATE_HOME= " + shellquote(CLI) +
                       " --no-export --all-genres " + arguments + " " + shellquote(album.string()) + " 2>&1",
                   out);
    }
    std::vector<std::string> bytes()
    {
        std::vector<std::string> b;
        for (const std::string& t : tracks)
            b.push_back(testsupport::readfile(t));
        return b;
    }
};

} // namespace

// The values loudgain measures, named by the dry run, written once.
TEST_F(ReplayGainCli, TrackAndAlbumGainsAsLoudgainMeasuresThemAndASecondRunWritesNothing)
{
    const std::vector<std::string> before = bytes();
    std::string dry, out;
    ASSERT_EQ(cli("--replaygain=album --dry-run", &dry), 0) << dry;
    EXPECT_EQ(bytes(), before) << "a dry run writes nothing";
    EXPECT_EQ(count(dry, "Would write the album gain to "), 3) << dry;

    ASSERT_EQ(cli("--replaygain=album", &out), 0) << out;
    EXPECT_EQ(count(out, "Track updated."), 3) << out;
    EXPECT_EQ(count(out, "Album gain written to "), 3) << out;
    EXPECT_NE(out.find("Album gain of Tempix Tests - One Album (" + album.string() +
                       "): " + replaygain(tracks[0]).at("REPLAYGAIN_ALBUM_GAIN")),
              std::string::npos)
        << out;

    // loudgain's track and album gains on the same files, within 0.1 dB; the
    // sample peak never above loudgain's true peak.
    const auto rows = loudgain(tracks, true);
    ASSERT_EQ(rows.size(), tracks.size() + 1) << "a line per track and one for the album";
    for (size_t i = 0; i < tracks.size(); ++i) {
        SCOPED_TRACE(tracks[i]);
        const auto rg = replaygain(tracks[i]);
        // The dry run named the values the real run wrote.
        EXPECT_NE(dry.find("Processing: " + tracks[i] + "\nWould update track: "), std::string::npos);
        const size_t at = dry.find("ReplayGain none -> ", dry.find("Processing: " + tracks[i] + "\n"));
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(dry.substr(at + 19, rg.at("REPLAYGAIN_TRACK_GAIN").size()), rg.at("REPLAYGAIN_TRACK_GAIN"));
        EXPECT_NEAR(number(rg.at("REPLAYGAIN_TRACK_GAIN")), number(rows[i][8]), 0.1);
        EXPECT_LE(number(rg.at("REPLAYGAIN_TRACK_PEAK")), number(rows[i][3]) + 1e-6);
        EXPECT_GT(number(rg.at("REPLAYGAIN_TRACK_PEAK")), 0.1);
        EXPECT_NEAR(number(rg.at("REPLAYGAIN_ALBUM_GAIN")), number(rows.back()[8]), 0.1);
        EXPECT_EQ(rg.at("REPLAYGAIN_ALBUM_GAIN"), replaygain(tracks[0]).at("REPLAYGAIN_ALBUM_GAIN"));
    }

    // Nothing to change: up to date, no decoding, not a byte written.
    const std::vector<std::string> after = bytes();
    ASSERT_EQ(cli("--replaygain=album", &out), 0) << out;
    EXPECT_EQ(count(out, "Track is up-to-date."), 3) << out;
    EXPECT_EQ(count(out, "Measuring the loudness"), 0) << out;
    EXPECT_EQ(count(out, "Album gain"), 0) << out;
    EXPECT_EQ(bytes(), after);
}

// Another tagger's gain is kept unless the volume may be overwritten.
TEST_F(ReplayGainCli, AnotherProgramsValuesAreKeptAndAStoredAnalysisIsMeasuredOnceForThem)
{
    std::string out;
    ASSERT_EQ(cli("", &out), 0) << out; // the analysis stored, no ReplayGain yet
    // Another program's track gain on the MP3.
    ASSERT_EQ(
        python(
            "t = id3.ID3(sys.argv[1])\nt.add(id3.TXXX(encoding=3, desc='REPLAYGAIN_TRACK_GAIN', text=['+1.00 dB']))\n"
            "t.save(v2_version=t.version[1])",
            tracks[0]),
        0);
    ASSERT_EQ(cli("--replaygain", &out), 0) << out;
    // The other two are measured once for their tags; their analysis is the stored one.
    EXPECT_EQ(count(out, "Measuring the loudness for the ReplayGain tags (the stored analysis is reused)."), 2) << out;
    EXPECT_EQ(replaygain(tracks[0]).at("REPLAYGAIN_TRACK_GAIN"), "+1.00 dB");
    EXPECT_EQ(replaygain(tracks[1]).count("REPLAYGAIN_TRACK_GAIN"), 1u);
    // With the volume open to overwriting, ours replaces it.
    ASSERT_EQ(cli("--replaygain --overwrite-volume", &out), 0) << out;
    EXPECT_NE(replaygain(tracks[0]).at("REPLAYGAIN_TRACK_GAIN"), "+1.00 dB");

    // A tagger that converts the MP3's tag to ID3v2.4 (and drops what it does
    // not know) leaves the record where the other version keeps it: the next
    // run finds it and is up to date, and the file keeps one record.
    ASSERT_EQ(python("t = id3.ID3(sys.argv[1])\nt.add(id3.TIT2(encoding=3, text=['Renamed']))\nt.save(v2_version=4)",
                     tracks[0]),
              0);
    ASSERT_EQ(cli("--replaygain", &out), 0) << out;
    EXPECT_EQ(out.find("Measuring the loudness"), std::string::npos) << out;
    const auto tags = testsupport::mutagen(tracks[0], true);
    EXPECT_EQ(tags.count("record_raw"), 1u);
    EXPECT_EQ(tags.at("TIT2"), "Renamed");
}
