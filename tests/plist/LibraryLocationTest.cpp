// Where the batch and the script helper find the library file, and how its
// locations become paths: one rule for both.
#include "plist/LibraryLocation.h"
#include "platform/settings/PreferenceStore.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using testsupport::TempHome;

namespace {

std::string urlPath(const char* url, size_t size = 1024)
{
    char buffer[1024] = "untouched";
    int r = ovra::fileURLToPath(url, buffer, size);
    if (r != 0)
        return std::to_string(r) + ":" + buffer;
    return buffer;
}

class LibraryLocation : public ::testing::Test {
protected:
    TempHome home;
    void pointTo(const std::string& folder)
    {
        ovra::PreferenceStore store("com.apple.iTunes", false);
        store.setData("alis:1:iTunes Library Location", folder.data(), folder.size());
        store.synchronize();
    }
    std::string found()
    {
        char out[1024];
        ovra::findLibraryFile(out);
        return out;
    }
    // A file modified at the given second and nanosecond.
    void touch(const std::string& path, time_t seconds = 1000000000, long nanoseconds = 0)
    {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "<plist/>";
        struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
};

} // namespace

// Without a usable preference the library is looked for in the music folder,
// then in the documents folder.
TEST_F(LibraryLocation, FallsBackToTheMusicAndDocumentsFolders)
{
    EXPECT_EQ(found(), home.path("Documents/iTunes/iTunes Music Library.xml"));
    touch(home.path("Music/iTunes/iTunes Music Library.xml"));
    EXPECT_EQ(found(), home.path("Music/iTunes/iTunes Music Library.xml"));
    // A preference naming a folder without a library changes nothing.
    pointTo(home.path("elsewhere"));
    EXPECT_EQ(found(), home.path("Music/iTunes/iTunes Music Library.xml"));
}

// In the preferred folder, of the two names the library may have, the one
// saved later is used.
TEST_F(LibraryLocation, ThePreferenceChoosesTheLaterOfTheTwoNamesToTheNanosecond)
{
    const std::string music = home.path("lib/iTunes Music Library.xml");
    const std::string library = home.path("lib/iTunes Library.xml");
    touch(library);
    pointTo(home.path("lib"));
    EXPECT_EQ(found(), library);
    touch(music, 999999999);
    EXPECT_EQ(found(), library);
    // Saved in the same second: the later one, whose name comes second.
    touch(music, 1000000000, 100);
    touch(library, 1000000000, 200);
    EXPECT_EQ(found(), library);
    // An exact tie: "iTunes Music Library.xml".
    touch(library, 1000000000, 100);
    EXPECT_EQ(found(), music);
    // Links in the stored folder are resolved.
    fs::create_directory_symlink(home.path("lib"), home.path("linked"));
    pointTo(home.path("linked"));
    EXPECT_EQ(found(), music);
}

// Locations become the paths of local files, decoded once; anything else is refused.
TEST(LibraryLocations, BecomePaths)
{
    EXPECT_EQ(urlPath("file://localhost/Users/a/My%20Music/Rock%20&amp;%20Roll.mp3"),
              "/Users/a/My Music/Rock & Roll.mp3");
    EXPECT_EQ(urlPath("file:///home/a/caf%C3%A9.mp3"), "/home/a/caf\xC3\xA9.mp3");
    EXPECT_EQ(urlPath("file:///a/b&#38;c&#x3C;&lt;&gt;&quot;&apos;.mp3"), "/a/b&c<<>\"'.mp3");
    // Character references are characters (UTF-8); unknown and unterminated
    // references and malformed escapes stay as they are; a NUL names no file.
    EXPECT_EQ(urlPath("file:///a/&#233;&#x1F600;"), "/a/\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(urlPath("file:///a/&nbsp;x"), "/a/&nbsp;x");
    EXPECT_EQ(urlPath("file:///a/x&amp"), "/a/x&amp");
    EXPECT_EQ(urlPath("file:///a/x%4"), "/a/x%4");
    EXPECT_EQ(urlPath("file:///a/x%"), "/a/x%");
    EXPECT_EQ(urlPath("file:///a/x%4G"), "/a/x%4G");
    EXPECT_EQ(urlPath("file:///a/x%00y"), "-1:untouched");
    // Escaped hex digits are decoded first.
    EXPECT_EQ(urlPath("file:///a/%&#52;1"), "/a/A");
    // Not local.
    EXPECT_EQ(urlPath("http://example.com/stream.mp3"), "-1:untouched");
    EXPECT_EQ(urlPath("file://server/share/a.mp3"), "-1:untouched");
    EXPECT_EQ(urlPath(""), "-1:untouched");
    // The buffer bounds the path; a path cut short says so (it may name another file).
    EXPECT_EQ(urlPath("file:///abcdef", 4), "1:/ab");
    EXPECT_EQ(urlPath("file:///abc", 5), "/abc");
    std::string longUrl = "file:///" + std::string(2000, 'z');
    EXPECT_EQ(urlPath(longUrl.c_str()).size(), 1025u);
}
