// tempix-cli --dump on real files: it shows what mutagen reads, decodes the
// stored record and changes nothing.
#include "batch/TrackDataRecord.h"
#include "tags/Tag.h"
#include "TagTestSupport.h"

#include <memory>

using namespace ovra;
using tagtest::TempDir;

namespace {
int dump(const std::string& args, std::string& out)
{
    return tagtest::run(std::string(TEMPIX_BINARY_DIR) + "/bin/tempix-cli --dump " + args + " 2>&1", &out);
}
} // namespace

// Title and tempo as mutagen reads them, and every value or its error code.
TEST(DumpCommand, ShowsWhatMutagenReads)
{
    TempDir dir;
    // Each file with what its dump holds besides the title and tempo.
    const std::pair<const char*, std::vector<const char*>> cases[] = {
        {"v23.mp3",
         {"Implementation: ID3Lib\nTitle: Title Three\nArtist: Artist Three\nComposer: Composer Three\n"
          "Album: Album Three\nGenre: Rock\nComment: Comment text\nBPM: 128\nRVA: (none)\n"}},
        {"v23_rvad.mp3", {"\nRVA: -1000\n"}},
        {"v23_utf16.mp3", {}},
        {"v24.mp3", {}},
        {"ap_gnre.m4a",
         {"Implementation: QTAtoms\nTitle: AP Title\n",
          "BPM: 120\nRVA: err=20601 (this kind of tag does not support the operation)\n"}},
        {"mutagen_gen.m4a", {}}};
    for (const auto& [name, parts] : cases) {
        SCOPED_TRACE(name);
        std::string path = dir.copy(name);
        const auto before = tagtest::readbytes(path);
        std::string out;
        EXPECT_EQ(dump(tagtest::shellquote(path), out), 0) << out;
        auto m = tagtest::mutagen(path);
        EXPECT_NE(out.find("\nTitle: " + m[m.count("TIT2") ? "TIT2" : "©nam"] + "\n"), std::string::npos) << out;
        std::string bpm = m.count("TBPM") ? m["TBPM"] : m["tmpo"];
        EXPECT_TRUE(bpm.empty() || out.find("\nBPM: " + bpm.substr(0, bpm.find('.')) + "\n") != std::string::npos)
            << out;
        for (const char* part : parts)
            EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
        EXPECT_NE(out.find("TrackDataRecord: none\n"), std::string::npos) << out;
        EXPECT_EQ(tagtest::readbytes(path), before) << "must not change";
    }
}

TEST(DumpCommand, DecodesTheStoredRecordAndFailsForFilesItCannotRead)
{
    TempDir dir;
    std::string path = dir.copy("noudta_tail.m4a", "track.m4a");
    tempix::TrackDataRecord r;
    r.flags = 0x71F;
    r.analysis = {44100, 132300, 500, 30000, 22050, 1000, 2000, 300, 120000};
    r.bpm = 120;
    r.startMs = 20;
    r.stopMs = 2950;
    r.volume = -1234;
    uint8_t bytes[64];
    r.encode(bytes);
    {
        std::unique_ptr<Tag> tag(openTag(path.c_str(), false));
        tag->setData(TRACKDATA_OWNER, TRACKDATA_CODE, bytes, 64);
        tag->close();
    }
    std::string out;
    EXPECT_EQ(dump(tagtest::shellquote(path), out), 0) << out;
    for (const char* line :
         {"TrackDataRecord:\n", "  Flags: 0x0000071F analysis bpm times volume\n", "  Sample rate: 44100\n",
          "  Frame count: 132300\n", "  Beat period: 22050\n", "  Last beat: 120000\n", "  BPM written: 120\n",
          "  Start time written: 20 ms\n", "  Stop time written: 2950 ms\n", "  Volume written: -1234\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;

    std::string bad = dir.copy("brand_m4b.m4a");
    EXPECT_EQ(dump(tagtest::shellquote(path) + " " + tagtest::shellquote(bad), out), 1);
    EXPECT_NE(out.find("error code 20201"), std::string::npos) << out;
    EXPECT_NE(out.find("Sample rate: 44100"), std::string::npos) << "the good file is still dumped";
}
