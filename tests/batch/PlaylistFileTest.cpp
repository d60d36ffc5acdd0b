#include "batch/PlaylistFile.h"

#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace ovra::tempix;

namespace {

using testsupport::TempDir;
using Kind = PlaylistEntry::Kind;

void write(const fs::path& p, const std::string& bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

// A UTF-8 list with a BOM and CRLF, absolute paths, http streams and a mapped
// prefix are read end to end too (BatchCli.PlaylistFilesGiveTheirTracksInTheirOrder).

TEST(PlaylistFile, RecognisedByExtensionInAnyCase)
{
    for (const char* yes : {"a.m3u", "A.M3U8", "x/y.Pls", "/m/list.m3u8"})
        EXPECT_TRUE(isPlaylistFile(yes)) << yes;
    for (const char* no : {"a.mp3", "m3u", "a.m3u.bak", "a.pls8", "a.m3", ""})
        EXPECT_FALSE(isPlaylistFile(no)) << no;
}

TEST(PlaylistFile, LinesOfTheText)
{
    struct Case {
        const char* name;
        std::string text;
        bool pls;
        bool utf8;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"comments and blank lines",
         "#EXTM3U\n#EXTINF:123,Artist - Title\na.mp3\n\n  \n# note\nb.flac\n",
         false,
         false,
         {"a.mp3", "b.flac"}},
        {"no line end at the end", "a.mp3\nb.mp3", false, false, {"a.mp3", "b.mp3"}},
        {"Latin-1 m3u", "caf\xE9.mp3\nb.mp3\n", false, false, {"caf\xC3\xA9.mp3", "b.mp3"}},
        {"UTF-8 m3u stays", "caf\xC3\xA9.mp3\n", false, false, {"caf\xC3\xA9.mp3"}},
        {"m3u8 is never Latin-1", "caf\xE9.mp3\n", false, true, {"caf\xE9.mp3"}},
        {"an overlong form is not UTF-8", "\xC0\xAF.mp3\n", false, false, {"\xC3\x80\xC2\xAF.mp3"}},
        {"PLS in N order, other keys ignored",
         "[playlist]\r\nNumberOfEntries=3\r\nFile2=b.mp3\r\nTitle2=B\r\nfile10=c.mp3\r\nFile1=a.mp3\r\n"
         "Length1=-1\r\nFileX=no.mp3\r\nVersion=2\r\n",
         true,
         false,
         {"a.mp3", "b.mp3", "c.mp3"}},
        {"an m3u line with '=' is a path", "File1=a.mp3\n", false, false, {"File1=a.mp3"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(playlistLines(c.text, c.pls, c.utf8), c.lines) << c.name;
}

TEST(PlaylistFile, EntriesFoundHereAsWrittenOrThroughMappedPrefixes)
{
    TempDir dir;
    const std::string d = dir.str();
    for (const char* name : {"lists/near.mp3", "music/with space.mp3", "music/\xC3\xA9t\xC3\xA9.flac", "music/a.ogg",
                             "other/x.opus", "music/win.mp3"})
        write(dir.root() / name, "x");
    fs::create_symlink(d + "/music/a.ogg", d + "/music/link.ogg");

    struct Case {
        std::string line;
        Kind kind;
        std::string path; // below the folder, empty: not checked
    };
    const std::vector<Case> cases = {
        {"near.mp3", Kind::track, "/lists/near.mp3"},
        {"../music/a.ogg", Kind::track, "/music/a.ogg"},
        {"file://" + d + "/music/with%20space.mp3", Kind::track, "/music/with space.mp3"},
        {"file://localhost" + d + "/music/%C3%A9t%C3%A9.flac", Kind::track, "/music/\xC3\xA9t\xC3\xA9.flac"},
        {"FILE://" + d + "/other/x.opus", Kind::track, "/other/x.opus"},
        {"file://server/share/a.mp3", Kind::notLocal, ""},
        {"../music/link.ogg", Kind::repeated, ""}, // the same file through a link
        {"gone.mp3", Kind::missing, "/lists/gone.mp3"},
        {"rtsp://host/x", Kind::stream, ""},
        {"..\\music\\win.mp3", Kind::track, "/music/win.mp3"},
        {"C:\\Music\\x.mp3", Kind::missing, ""},
    };
    std::string text = "#EXTM3U\n";
    for (const Case& c : cases)
        text += c.line + "\n";
    write(dir.root() / "lists/all.m3u8", text);

    PlaylistContents read = readPlaylist((d + "/lists/all.m3u8").c_str());
    ASSERT_EQ(read.error, 0);
    ASSERT_EQ(read.entries.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const PlaylistEntry& e = read.entries[i];
        EXPECT_EQ(e.text, cases[i].line);
        EXPECT_EQ(e.kind, cases[i].kind) << cases[i].line;
        if (!cases[i].path.empty()) {
            EXPECT_EQ(e.path, d + cases[i].path) << cases[i].line;
        }
    }
    // A list that is not there, or is a folder, is an error of its own.
    read = readPlaylist((d + "/lists/none.m3u").c_str());
    EXPECT_EQ(read.error, ENOENT);
    EXPECT_TRUE(read.entries.empty());
    read = readPlaylist((d + "/lists").c_str());
    EXPECT_NE(read.error, 0);
    EXPECT_TRUE(read.entries.empty());

    // Locations of another machine, found here through mapped prefixes.
    write(dir.root() / "here/Album/One.mp3", "x");
    write(dir.root() / "here/Album/Two.mp3", "x");
    write(dir.root() / "list.m3u",
          "/Users/anna/Music/Album/One.mp3\n"
          "C:\\Users\\anna\\Music\\Album\\two.mp3\n"   // Windows path, other case
          "file:///Users/anna/Music/Album/Three.mp3\n" // mapped but not here
          "/elsewhere/One.mp3\n");                     // no prefix matches
    ovra::LocationMap map;
    ASSERT_EQ(map.add("/Users/anna/Music=" + d + "/here"), "");
    ASSERT_EQ(map.add("C:/Users/anna/Music=" + d + "/here"), "");

    std::vector<std::pair<Kind, std::string>> found;
    for (const PlaylistEntry& e : readPlaylist((d + "/list.m3u").c_str(), &map).entries)
        found.emplace_back(e.kind, e.path);
    EXPECT_EQ(found,
              (std::vector<std::pair<Kind, std::string>>{{Kind::track, d + "/here/Album/One.mp3"},
                                                         {Kind::track, d + "/here/Album/Two.mp3"},
                                                         {Kind::missing, d + "/here/Album/Three.mp3"},
                                                         {Kind::missing, "/elsewhere/One.mp3"}}));
    // Without the map the same list finds only what is here as written.
    std::vector<Kind> unmapped;
    for (const PlaylistEntry& e : readPlaylist((d + "/list.m3u").c_str()).entries)
        unmapped.push_back(e.kind);
    EXPECT_EQ(unmapped, std::vector<Kind>(4, Kind::missing));
}

} // namespace
