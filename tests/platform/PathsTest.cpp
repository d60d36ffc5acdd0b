#include "platform/tools_paths.h"

#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace ovra;

using testsupport::TempDir;

// A path through links is resolved to where they point; a loop or a relative
// path is left as given.
TEST(ResolveAliasPath, FollowsLinksAlongThePathAndLeavesLoopsAndRelativePaths)
{
    TempDir dir;
    fs::create_directories(dir.root() / "real" / "inner");
    fs::create_directory_symlink(dir.root() / "real", dir.root() / "link");
    std::string in = (dir.root() / "link" / "inner" / "missing.mp3").string();
    char out[PATH_BUFFER];
    ASSERT_EQ(resolvealiaspath(in.c_str(), out), 0);
    EXPECT_EQ(std::string(out), (dir.root() / "real" / "inner" / "missing.mp3").string());
    // In place works too.
    char inplace[PATH_BUFFER];
    snprintf(inplace, sizeof inplace, "%s", in.c_str());
    ASSERT_EQ(resolvealiaspath(inplace, inplace), 0);
    EXPECT_STREQ(inplace, out);

    fs::create_symlink(dir.root() / "b", dir.root() / "a");
    fs::create_symlink(dir.root() / "a", dir.root() / "b");
    in = (dir.root() / "a" / "x").string();
    ASSERT_EQ(resolvealiaspath(in.c_str(), out), 0);
    EXPECT_EQ(std::string(out), in);

    EXPECT_EQ(resolvealiaspath("relative/path", out), -1);
    EXPECT_EQ(std::string(out), in); // untouched
}

// The test programs run from the build tree's bin/, which has the install
// layout: the helpers lie as configured from there.
TEST(BundlePath, IsTheFolderAboveBinAndHelpersLieAtTheConfiguredPlace)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    char out[PATH_BUFFER];
    ASSERT_EQ(getbundlepath(out), 0);
    EXPECT_EQ(exe.parent_path().parent_path().string(), std::string(out));
    ASSERT_EQ(helperpath("osatender", out, sizeof out), 0);
    EXPECT_EQ(std::string(out),
              (exe.parent_path() / TEMPIX_HELPERS_FROM_BIN / "osatender").lexically_normal().string());
    EXPECT_EQ(fs::path(out), fs::path(TEMPIX_LIBEXEC_DIR) / "osatender");
    EXPECT_EQ(helperpath("osatender", out, 8), ENAMETOOLONG);
}

// The user-dirs file names the music folder; an XDG value that is not an
// absolute path is ignored everywhere, whatever the current folder.
TEST(HomeFolders, FollowXdgUserDirsAndFallBack)
{
    testsupport::TempHome dir;
    setenv("XDG_CONFIG_HOME", (dir.root() / "conf").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir.root() / "state").c_str(), 1);
    char out[PATH_BUFFER];
    homemusicfolder(out);
    EXPECT_EQ(std::string(out), (dir.root() / "Music").string());

    const std::string dirs = "# comment\nXDG_MUSIC_DIR=\"$HOME/Tunes\"\n";
    fs::create_directories(dir.root() / "conf");
    fs::create_directories(dir.root() / "Tunes");
    std::ofstream(dir.root() / "conf" / "user-dirs.dirs") << dirs;
    homemusicfolder(out);
    EXPECT_EQ(std::string(out), (dir.root() / "Tunes").string());
    logfolder(out);
    EXPECT_EQ(std::string(out), (dir.root() / "state" / "tempix").string());
    EXPECT_TRUE(fs::is_directory(out));

    std::ofstream(dir.root() / ".config" / "user-dirs.dirs") << dirs;
    const std::string cwd = fs::current_path();
    fs::current_path(dir.root());
    for (const char* value : {"relative", "", "./cfg"}) {
        SCOPED_TRACE(value);
        setenv("XDG_CONFIG_HOME", value, 1);
        setenv("XDG_STATE_HOME", value, 1);
        EXPECT_EQ(configfolder(), (dir.root() / ".config").string());
        EXPECT_EQ(logfilepath(), (dir.root() / ".local/state/tempix/Tempix.log").string());
        homemusicfolder(out);
        EXPECT_EQ(std::string(out), (dir.root() / "Tunes").string());
    }
    EXPECT_FALSE(fs::exists(dir.root() / "relative"));
    EXPECT_FALSE(fs::exists(dir.root() / "cfg"));
    fs::current_path(cwd);
}
