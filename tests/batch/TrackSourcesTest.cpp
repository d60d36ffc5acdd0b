#include "platform/settings/PreferenceStore.h"
#include "batch/DirectoryWalker.h"
#include "batch/GenreSet.h"
#include "batch/LibraryFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace fs = std::filesystem;
using namespace ovra::tempix;
using ovra::PreferenceStore;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        char templ[] = "/tmp/tempix-sources-XXXXXX";
        path = fs::canonical(mkdtemp(templ));
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void touch(const fs::path& p)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

std::set<std::string> walk(DirectoryWalker& walker, const std::string& start)
{
    std::set<std::string> entries;
    walker.start(start.c_str());
    while (DirectoryWalker* entry = walker.next())
        entries.insert(entry->path());
    return entries;
}

std::string urlPath(const char* url, size_t size = 1024)
{
    char buffer[1024] = "untouched";
    int r = fileURLToPath(url, buffer, size);
    if (r != 0)
        return std::to_string(r) + ":" + buffer;
    return buffer;
}

} // namespace

TEST(DirectoryWalker, ReturnsFilesAndLinksButDoesNotFollowLinks)
{
    TempDir dir;
    touch(dir.path / "a.mp3");
    touch(dir.path / "sub" / "b.m4a");
    touch(dir.path / "sub" / "deeper" / "c.txt");
    fs::create_directory(dir.path / "empty");
    // A link back up would loop forever if it were followed.
    fs::create_directory_symlink(dir.path, dir.path / "sub" / "loop");
    fs::create_symlink(dir.path / "a.mp3", dir.path / "link.mp3");

    DirectoryWalker walker(0);
    std::string root = dir.path.string();
    std::set<std::string> expected = {root + "/a.mp3", root + "/sub/b.m4a", root + "/sub/deeper/c.txt",
                                      root + "/sub/loop", root + "/link.mp3"};
    EXPECT_EQ(walk(walker, root), expected);
    // A second start walks again from the beginning.
    EXPECT_EQ(walk(walker, root), expected);
}

TEST(DirectoryWalker, MissingStartsAndFileStarts)
{
    TempDir dir;
    touch(dir.path / "one.mp3");
    DirectoryWalker walker(0);
    EXPECT_FALSE(walker.start((dir.path / "missing").c_str()));
    EXPECT_EQ(walker.next(), nullptr);
    EXPECT_FALSE(walker.start((dir.path / "one.mp3").c_str()));
    EXPECT_EQ(walker.next(), nullptr);

    DirectoryWalker single(DirectoryWalker::SINGLE_FILE);
    EXPECT_TRUE(single.start((dir.path / "one.mp3").c_str()));
    ASSERT_NE(single.next(), nullptr);
    EXPECT_EQ(std::string(single.path()), (dir.path / "one.mp3").string());
    EXPECT_EQ(single.next(), nullptr);

    // A start path that does not fit the buffer is refused, not cut short.
    std::string longPath = dir.path.string() + "/" + std::string(1100, 'x');
    EXPECT_FALSE(walker.start(longPath.c_str()));
    EXPECT_EQ(walker.next(), nullptr);
}

TEST(DirectoryWalker, StopsSixteenLevelsDown)
{
    TempDir dir;
    fs::path p = dir.path;
    for (int level = 1; level <= 17; ++level) {
        p /= "d" + std::to_string(level);
        touch(p / ("f" + std::to_string(level) + ".mp3"));
    }
    DirectoryWalker walker(0);
    std::set<std::string> entries = walk(walker, dir.path.string());
    // The start folder is level one: files in d1 ... d15 are reached.
    EXPECT_EQ(entries.size(), 15u);
    bool has15 = false, has16 = false;
    for (const std::string& e : entries) {
        has15 |= e.find("/f15.mp3") != std::string::npos;
        has16 |= e.find("/f16.mp3") != std::string::npos;
    }
    EXPECT_TRUE(has15);
    EXPECT_FALSE(has16);
}

TEST(DirectoryWalker, ReportsWhatItPassesOver)
{
    TempDir dir;
    fs::path deep = dir.path;
    for (int level = 1; level <= 16; ++level)
        deep /= "d";
    fs::create_directories(deep);
    fs::path longer = dir.path / std::string(250, 'a') / std::string(250, 'b') / std::string(250, 'c');
    fs::create_directories(longer);
    touch(longer / (std::string(250, 'e') + ".mp3"));
    fs::path locked = dir.path / "locked";
    fs::create_directory(locked);
    touch(locked / "t.mp3");
    chmod(locked.c_str(), 0);
    chmod(dir.path.c_str(), 0755);

    // Permissions mean nothing to root: walk as nobody in a child then.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(1);
        std::string seen;
        DirectoryWalker walker(0);
        walker.setReporter([&](DirectoryWalker::Skip what, const char* folder, const char* name, int error) {
            seen += std::to_string(int(what)) + " " + folder + " " + name + " " + std::to_string(error) + "\n";
        });
        walker.start(dir.path.c_str());
        while (walker.next() != nullptr) {
        }
        (void)!write(out[1], seen.data(), seen.size());
        _exit(0);
    }
    close(out[1]);
    std::string seen;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        seen.append(buffer, size_t(n));
    close(out[0]);
    waitpid(child, nullptr, 0);
    chmod(locked.c_str(), 0755);
    std::string expected = "0 " + locked.string() + "  13\n";
    EXPECT_NE(seen.find(expected), std::string::npos) << seen;
    EXPECT_NE(seen.find("2 " + deep.string() + "  0\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("1 " + longer.string() + " " + std::string(250, 'e') + ".mp3 0\n"), std::string::npos) << seen;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), '\n'), 3) << seen;
}

TEST(DirectoryWalker, SkipsEntriesWhosePathWouldNotFit)
{
    TempDir dir;
    // Folders of 200-byte names, so paths pass 1023 bytes a few levels down.
    fs::path p = dir.path;
    std::string name(200, 'n');
    for (int level = 0; level < 6; ++level) {
        p /= name + std::to_string(level);
        fs::create_directory(p);
        touch(p / "t.mp3");
    }
    DirectoryWalker walker(0);
    std::set<std::string> entries = walk(walker, dir.path.string());
    ASSERT_FALSE(entries.empty());
    for (const std::string& e : entries) {
        EXPECT_LT(e.size(), 1024u);
        EXPECT_TRUE(fs::exists(e)) << e; // every path returned is a real, whole path
    }
    size_t expected = 0;
    for (auto it = fs::recursive_directory_iterator(dir.path); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file() && it->path().string().size() < 1024)
            ++expected;
    EXPECT_EQ(entries.size(), expected);
}

TEST(TrackSources, AudioFilesAreKnownByTheirExtension)
{
    EXPECT_TRUE(isAudioFile("/a/Song.MP3"));
    EXPECT_TRUE(isAudioFile("/a/b.c/Song.m4a"));
    EXPECT_TRUE(isAudioFile(".mp3"));
    EXPECT_FALSE(isAudioFile("/a/Song.mp3.txt"));
    EXPECT_FALSE(isAudioFile("/a/Song"));
    EXPECT_FALSE(isAudioFile("/a/Song.mp4"));
    EXPECT_FALSE(isAudioFile("/a/Song.mp33"));
}

TEST(TrackSources, LocationsBecomePaths)
{
    EXPECT_EQ(urlPath("file://localhost/Users/a/My%20Music/Rock%20&amp;%20Roll.mp3"),
              "/Users/a/My Music/Rock & Roll.mp3");
    EXPECT_EQ(urlPath("file:///home/a/caf%C3%A9.mp3"), "/home/a/caf\xC3\xA9.mp3");
    EXPECT_EQ(urlPath("file:///a/b&#38;c&#x3C;&lt;&gt;&quot;&apos;.mp3"), "/a/b&c<<>\"'.mp3");
    // Unknown and unterminated entities, escapes cut short.
    EXPECT_EQ(urlPath("file:///a/&nbsp;x"), "/a/?x");
    EXPECT_EQ(urlPath("file:///a/x&amp"), "/a/x?");
    EXPECT_EQ(urlPath("file:///a/x%4"), "/a/x?");
    EXPECT_EQ(urlPath("file:///a/x%"), "/a/x?");
    EXPECT_EQ(urlPath("file:///a/x%4G"), "/a/x\x04");
    // Escaped hex digits are decoded first.
    EXPECT_EQ(urlPath("file:///a/%&#52;1"), "/a/A");
    // Fifteen characters without ';' are taken as a name, and reading goes on.
    EXPECT_EQ(urlPath("file:///a/&abcdefghijklmnopq"), "/a/?pq");
    // Not local.
    EXPECT_EQ(urlPath("http://example.com/stream.mp3"), "-1:untouched");
    EXPECT_EQ(urlPath("file://server/share/a.mp3"), "-1:untouched");
    EXPECT_EQ(urlPath("file:/a.mp3"), "-1:untouched");
    EXPECT_EQ(urlPath(""), "-1:untouched");
    // The buffer bounds the path; a path cut short says so (it may name another file).
    EXPECT_EQ(urlPath("file:///abcdef", 4), "1:/ab");
    EXPECT_EQ(urlPath("file:///abc", 5), "/abc");
    std::string longUrl = "file:///" + std::string(2000, 'z');
    EXPECT_EQ(urlPath(longUrl.c_str()).size(), 1025u);
}

TEST(TrackSources, GenreListsSplitIntoEntries)
{
    EXPECT_EQ(buildGenreSet("Podcast, Speech,\n  Books & Spoken , ,"),
              (std::set<std::string>{"podcast", "speech", "books & spoken"}));
    EXPECT_EQ(buildGenreSet("Rock,rock, ROCK\n\n"), (std::set<std::string>{"rock"}));
    EXPECT_TRUE(buildGenreSet("").empty());
    EXPECT_TRUE(buildGenreSet(" ,\n , ").empty());
    // Eighty characters: the eightieth is dropped, the rest is the next entry.
    std::string longEntry = std::string(79, 'a') + "X" + "tail";
    EXPECT_EQ(buildGenreSet(longEntry.c_str()), (std::set<std::string>{std::string(79, 'a'), "tail"}));
    EXPECT_EQ(buildGenreSet("Podcast, Speech, Books & Spoken,\nClassical, Opera, Chamber Music, Sonata, Symphony").size(), 8u);
}

namespace {

// A temporary HOME with its own configuration folder.
class LibraryLocation : public ::testing::Test {
protected:
    TempDir dir;
    std::string savedHome;
    void SetUp() override
    {
        savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", dir.path.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir.path / "config").c_str(), 1);
    }
    void TearDown() override
    {
        setenv("HOME", savedHome.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void pointTo(const fs::path& folder)
    {
        PreferenceStore store("com.apple.iTunes", false);
        std::string bytes = folder.string();
        store.setData("alis:1:iTunes Library Location", bytes.data(), bytes.size());
        store.synchronize();
    }
    std::string found()
    {
        char out[1024];
        findLibraryFile(out);
        return out;
    }
    static void age(const fs::path& p, int seconds)
    {
        struct utimbuf times;
        times.actime = times.modtime = time(nullptr) - seconds;
        utime(p.c_str(), &times);
    }
};

} // namespace

TEST_F(LibraryLocation, FallsBackToTheMusicAndDocumentsFolders)
{
    EXPECT_EQ(found(), (dir.path / "Documents/iTunes/iTunes Music Library.xml").string());
    touch(dir.path / "Music/iTunes/iTunes Music Library.xml");
    EXPECT_EQ(found(), (dir.path / "Music/iTunes/iTunes Music Library.xml").string());
    // A preference naming a folder without a library changes nothing.
    pointTo(dir.path / "elsewhere");
    EXPECT_EQ(found(), (dir.path / "Music/iTunes/iTunes Music Library.xml").string());
}

TEST_F(LibraryLocation, ThePreferenceChoosesTheNewerOfTheTwoNames)
{
    fs::path lib = dir.path / "lib";
    touch(lib / "iTunes Library.xml");
    pointTo(lib);
    EXPECT_EQ(found(), (lib / "iTunes Library.xml").string());
    touch(lib / "iTunes Music Library.xml");
    age(lib / "iTunes Library.xml", 100);
    EXPECT_EQ(found(), (lib / "iTunes Music Library.xml").string());
    age(lib / "iTunes Music Library.xml", 200);
    EXPECT_EQ(found(), (lib / "iTunes Library.xml").string());
    // Links in the stored folder are resolved.
    fs::create_directory_symlink(lib, dir.path / "linked");
    pointTo(dir.path / "linked");
    EXPECT_EQ(found(), (lib / "iTunes Library.xml").string());
}
