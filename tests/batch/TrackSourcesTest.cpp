#include "batch/DirectoryWalker.h"
#include "batch/GenreSet.h"

#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace fs = std::filesystem;
using namespace ovra::tempix;
using namespace ovra;

namespace {

using testsupport::TempDir;

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

} // namespace

TEST(DirectoryWalker, ReturnsFilesAndLinksButDoesNotFollowLinksAndRefusesBadStarts)
{
    TempDir dir;
    touch(dir.root() / "a.mp3");
    touch(dir.root() / "sub" / "b.m4a");
    touch(dir.root() / "sub" / "deeper" / "c.txt");
    fs::create_directory(dir.root() / "empty");
    // A link back up would loop forever if it were followed.
    fs::create_directory_symlink(dir.root(), dir.root() / "sub" / "loop");
    fs::create_symlink(dir.root() / "a.mp3", dir.root() / "link.mp3");

    DirectoryWalker walker(0);
    std::string root = dir.root().string();
    std::set<std::string> expected = {root + "/a.mp3", root + "/sub/b.m4a", root + "/sub/deeper/c.txt",
                                      root + "/sub/loop", root + "/link.mp3"};
    EXPECT_EQ(walk(walker, root), expected);

    // A missing start gives nothing.
    EXPECT_FALSE(walker.start((dir.root() / "missing").c_str()));
    EXPECT_EQ(walker.next(), nullptr);
    DirectoryWalker single(DirectoryWalker::SINGLE_FILE);
    EXPECT_EQ(walk(single, root + "/a.mp3"), std::set<std::string>{root + "/a.mp3"});

    // A start path that does not fit the buffer is refused, not cut short.
    std::string longPath = dir.root().string() + "/" + std::string(1100, 'x');
    EXPECT_FALSE(walker.start(longPath.c_str()));
    EXPECT_EQ(walker.next(), nullptr);
}

// The sixteen-level limit is checked end to end (BatchCli.BadInputIsLoggedAndLeftAsItWas).
// What the walk passes over is reported; a path it returns is whole, so a
// name that would not fit is reported, while its neighbour that fits is returned.
TEST(DirectoryWalker, ReportsWhatItPassesOverAndReturnsOnlyWholePaths)
{
    TempDir dir;
    fs::path deep = dir.root();
    for (int level = 1; level <= 16; ++level)
        deep /= "d";
    fs::create_directories(deep);
    fs::path longer = dir.root() / std::string(250, 'a') / std::string(250, 'b') / std::string(250, 'c');
    const std::string tooLong = std::string(250, 'e') + ".mp3";
    touch(longer / tooLong);
    touch(longer / "fits.mp3");
    fs::path locked = dir.root() / "locked";
    touch(locked / "t.mp3");
    chmod(locked.c_str(), 0);
    chmod(dir.root().c_str(), 0755);

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
        walker.start(dir.root().c_str());
        while (DirectoryWalker* entry = walker.next())
            seen += std::string(entry->path()) + "\n";
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
    std::multiset<std::string> lines;
    for (size_t at = 0, end; (end = seen.find('\n', at)) != std::string::npos; at = end + 1)
        lines.insert(seen.substr(at, end - at));
    EXPECT_EQ(
        lines,
        (std::multiset<std::string>{"0 " + locked.string() + "  13", "1 " + longer.string() + " " + tooLong + " 0",
                                    "2 " + deep.string() + "  0", (longer / "fits.mp3").string()}))
        << seen;
}

TEST(TrackSources, AudioFilesAreKnownByTheirExtension)
{
    for (const char* yes : {"/a/Song.MP3", "/a/b.c/Song.m4a", ".mp3"})
        EXPECT_TRUE(isAudioFile(yes)) << yes;
    for (const char* no : {"/a/Song.mp3.txt", "/a/Song", "/a/Song.mp4", "/a/Song.mp33"})
        EXPECT_FALSE(isAudioFile(no)) << no;
}

TEST(TrackSources, GenreListsSplitIntoEntries)
{
    EXPECT_EQ(buildGenreSet("Podcast, Speech,\n  Books & Spoken , ,"),
              (std::set<std::string>{"podcast", "speech", "books & spoken"}));
    // Eighty characters: the eightieth is dropped, the rest is the next entry.
    std::string longEntry = std::string(79, 'a') + "X" + "tail";
    EXPECT_EQ(buildGenreSet(longEntry.c_str()), (std::set<std::string>{std::string(79, 'a'), "tail"}));
}
