// Library locations from other computers mapped to folders here: which
// prefix applies, the forms a prefix may take, and the search for files
// whose case differs from the library's.
#include "plist/LocationMap.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Case {
    const char* location;
    int status;
    std::string path; // "@" stands for the scratch folder
};

class LocationMapTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    ovra::LocationMap map;

    std::string at(const std::string& p) const { return p.empty() || p[0] != '@' ? p : dir.str() + p.substr(1); }
    void file(const std::string& relative)
    {
        fs::create_directories(fs::path(dir.path(relative)).parent_path());
        std::ofstream(dir.path(relative)) << "x";
    }
    void mapping(const std::string& prefix, const std::string& folder)
    {
        ASSERT_EQ(map.add(prefix + "=" + dir.path(folder)), "") << prefix;
    }
    // Each location resolves to its status and (unless not local) its path.
    void expect(std::initializer_list<Case> cases)
    {
        for (const Case& c : cases) {
            ovra::LocationMap::Resolved r = map.resolve(c.location);
            EXPECT_EQ(r.status, c.status) << c.location;
            if (c.status != -1) {
                EXPECT_EQ(r.path, at(c.path)) << c.location;
            }
            if (c.status == ovra::LocationMap::AMBIGUOUS) {
                EXPECT_EQ(r.matches.size(), 2u);
            }
        }
    }
};

} // namespace

// The longest matching prefix maps a location, whatever form it was given in.
TEST_F(LocationMapTest, TheLongestMatchingPrefixOfAnyFormApplies)
{
    mapping("file://localhost/C:/Users/anna/Music/", "music");
    mapping("C:\\Users\\anna\\Music\\Podcasts", "pod");
    mapping("/Users/bob/Music", "mac");
    mapping("file:///Volumes/Disk%201", "disk");
    mapping("c:/Music", "cmusic");
    mapping("\\\\NAS\\share", "nas");
    expect({
        {"file://localhost/C:/Users/anna/Music/A%20B/x.mp3", 0, "@/music/A B/x.mp3"},
        {"file://localhost/c:/users/ANNA/Music/x.mp3", 0, "@/music/x.mp3"}, // Windows: case does not count
        {"file:///C:/Users/anna/Music/x.mp3", 0, "@/music/x.mp3"},
        {"file://localhost/C:/Users/anna/Music/Podcasts/p.mp3", 0, "@/pod/p.mp3"},
        {"file://localhost/C:/Users/anna/Music/&#233;t&#xE9; &amp; co.mp3", 0, "@/music/\xc3\xa9t\xc3\xa9 & co.mp3"},
        {"file://localhost/C:/Music/x.mp3", 0, "@/cmusic/x.mp3"},
        {"file://localhost/C:/Musicals/x.mp3", 0, "/C:/Musicals/x.mp3"}, // part of a name is no match
        {"file:///Users/bob/Music/Rock%20&amp;%20Roll/x.mp3", 0, "@/mac/Rock & Roll/x.mp3"},
        {"file:///Users/BOB/Music/x.mp3", 0, "/Users/BOB/Music/x.mp3"}, // not a Windows path: exact
        {"file:///Volumes/Disk%201/x.mp3", 0, "@/disk/x.mp3"},
        {"file://NAS/share/x.mp3", 0, "@/nas/x.mp3"},
        {"file://NAS/other/x.mp3", -1, ""}, // another host, not mapped: not local
        {"http://example.com/Users/bob/Music/x.mp3", -1, ""},
        {"file://localhost/C:/Users/anna/Music/a%00b.mp3", -1, ""},
    });
}

// A name that differs only in case is found; between two such names we do not guess.
TEST_F(LocationMapTest, MissingComponentsAreFoundIgnoringCaseButNeverGuessed)
{
    mapping("file://localhost/C:/Music", "music");
    file("music/Artist/Album/Song.mp3");
    file("music/\xc3\x89mile/x.mp3"); // "Émile"
    file("music/Twin/a.mp3");
    file("music/Twin/A.mp3");
    file("music/Twin/b.mp3");
    expect({
        {"file://localhost/C:/Music/ARTIST/album/song.MP3", 0, "@/music/Artist/Album/Song.mp3"},
        {"file://localhost/C:/Music/%C3%A9mile/X.mp3", 0, "@/music/\xc3\x89mile/x.mp3"},
        {"file://localhost/C:/Music/Twin/a.mp3", 0, "@/music/Twin/a.mp3"}, // exact: no search
        {"file://localhost/C:/Music/twin/B.mp3", 0, "@/music/Twin/b.mp3"},
        {"file://localhost/C:/Music/twin/a.MP3", -2, "@/music/Twin/a.MP3"},
        {"file://localhost/C:/Music/Nobody/x.mp3", 0, "@/music/Nobody/x.mp3"}, // missing: as mapped
    });
}

// A mapping without a usable prefix or an absolute folder is refused.
TEST_F(LocationMapTest, UnusableMappingsAreRefusedAndALaterFolderReplacesAnEarlierOne)
{
    for (const char* bad : {"no separator", "C:\\Music=relative/folder", "=/folder", "http://host/x=/folder",
                            "file://localhost/x%00=/folder"})
        EXPECT_NE(map.add(bad), "") << bad;
    mapping("C:\\Music", "first");
    mapping("file://localhost/c:/Music/", "second");
    EXPECT_EQ(map.resolve("file://localhost/C:/Music/x.mp3").path, dir.path("second/x.mp3"));
}

// The prefix offered for a mapping is the folder most tracks share.
TEST(CommonLocationPrefix, IsTheDeepestFolderThatMoreThanHalfShare)
{
    const std::string m = "file://localhost/C:/Users/anna/My%20Music/";
    EXPECT_EQ(ovra::commonlocationprefix({m + "a/1.mp3", m + "a/2.mp3", m + "b/3.mp3", "file://localhost/D:/x.mp3"}),
              m);
    EXPECT_EQ(ovra::commonlocationprefix({"file:///Users/bob/R&amp;B/1.mp3", "file:///Users/bob/R&amp;B/2.mp3"}),
              "file:///Users/bob/R&B/");
    EXPECT_EQ(ovra::commonlocationprefix({"file:///a/1.mp3", "http://b/2.mp3"}), "");
}
