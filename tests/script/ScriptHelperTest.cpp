// osatender end to end: the batch's connection starts the real helper next to
// the program, which runs the scripts against a generated library of real
// tagged files; the rewritten library is checked with plistlib. Also the
// system route through the osascript program to the Console application.
#include "support/ScriptLibrary.h"
#include "script/AppleScriptServer.h"
#include "script/ConsoleLog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sys/resource.h>

using namespace scripttest;

namespace {

class Helper : public LibraryTest {
protected:
    ovra::AppleScriptServer server;

    void SetUp() override
    {
        copylibrary("work library.xml");
        server.setlibraryfile(library.c_str());
    }

    std::string exec(const std::string& text, size_t size = 80)
    {
        std::vector<char> buf(size, '#');
        int e = server.executefromtext(text.c_str(), buf.data(), size);
        return e == 0 ? std::string(buf.data()) : "<" + std::to_string(e) + ">";
    }

    // As plistlib reads them: a line per track, its ID and the values of the
    // keys ("-" for none).
    std::string values(const std::string& keys)
    {
        const std::string row = "    print(k, *[t.get(x, '-') for x in [" + keys + "]])";
        return plistquery(library, "for k, t in sorted(d['Tracks'].items()):\n" + row);
    }

    // Another program changes the library (d) and writes it back with plistlib.
    void rewrite(const std::string& change)
    {
        EXPECT_EQ(plistquery(library, change + "\nplistlib.dump(d, open(sys.argv[1], 'wb'))\nprint('ok')"), "ok\n");
    }
};

const std::string TIMES = "set start of mytrack to 1.234\nset finish of mytrack to 245.678\n";

// The helper writes the tracks' values into the library and keeps every other byte.
TEST_F(Helper, UpdatesTheLibraryThroughTheHelperAndKeepsEverythingElse)
{
    // Track 104's file has no tag; the library knows its tempo from elsewhere.
    std::string text = readfile(library);
    std::string at = "<key>Track ID</key><integer>104</integer>";
    text.insert(text.find(at) + at.size(), "\n\t\t\t<key>BPM</key><integer>93</integer>");
    writefile(library, text);
    ASSERT_EQ(server.start_external(), 0);
    EXPECT_EQ(exec(trackscript("persistent ID is \"00AB00CD00EF0012\"", TIMES)), "1");
    EXPECT_EQ(exec(trackscript("database ID is 102", "")), "1");
    EXPECT_EQ(exec(trackscript("persistent ID is \"0000000000000ABC\"",
                               TIMES + "set the volume adjustment of mytrack to 40\n")),
              "1");
    EXPECT_EQ(exec(trackscript("database ID is 104", "set start of mytrack to 0.5\n")), "1");
    EXPECT_EQ(exec(trackscript("database ID is 4711", TIMES)), "0");
    EXPECT_EQ(exec("tell application \"iTunes\" to save"), "0");
    // Saved when asked, while still running.
    EXPECT_EQ(values("'Start Time'"), "101 1234\n102 5\n103 1234\n104 500\n105 -\n");
    EXPECT_EQ(server.stop(), 0);

    // 101: TBPM of the ID3v2.4 tag, its RVA2 (RVA 1000 -> 995) on the library
    // scale; 102: 98 from the ID3v2.3 tag replaces 7, RVAD -1000, its start not
    // asked to change; 103: tmpo of the MP4 file, 40 % of 255; 104: no tag, the
    // library's tempo stays; 105 is no file track.
    EXPECT_EQ(values("'Start Time', 'Stop Time', 'BPM', 'Volume Adjustment'"),
              "101 1234 245678 120 4\n102 5 - 98 -4\n103 1234 245678 128 102\n104 500 - 93 -\n105 - - - -\n");
    // Byte for byte, apart from the lines of those values.
    EXPECT_EQ(largelibrary("same " + shellquote(pristine) + " " + shellquote(library)), "same\n");
}

// Results of every size and refused requests: the helper answers and runs on.
TEST_F(Helper, ResultsOfEverySizeAndFailures)
{
    ASSERT_EQ(server.start_external(), 0);
    int pid = server.childpid();
    // Longer than the caller's 80 bytes: cut to 79, still a success.
    std::string r100(100, 'r');
    EXPECT_EQ(exec("return \"" + r100 + "\""), r100.substr(0, 79));
    // 4095 bytes fit the helper's buffer, 4096 do not: a failure reply.
    EXPECT_EQ(exec("return \"" + std::string(4095, 'k') + "\"", 5000), std::string(4095, 'k'));
    EXPECT_EQ(exec("return \"" + std::string(4096, 'k') + "\"", 5000), "<-1>");
    // No value: the single NUL, an empty text.
    EXPECT_EQ(exec("set x to {}\nreturn"), "");
    EXPECT_EQ(exec("tell application \"Nowhere\" to activate"), "<-1>");
    // An empty request, a text without its NUL or with one inside: a failure
    // reply (none at all), and the helper goes on.
    const std::pair<const char*, uint32_t> refused[] = {{nullptr, 0}, {"return 2", 8}, {"return 2\0return 3", 18}};
    for (const auto& [request, size] : refused) {
        void* reply = reinterpret_cast<void*>(1);
        uint32_t n = 7;
        EXPECT_EQ(server.call(request, size, reply, n), 0);
        EXPECT_TRUE(reply == nullptr && n == 0) << size;
    }
    EXPECT_EQ(exec("return 5"), "5");
    EXPECT_EQ(server.childpid(), pid);
    EXPECT_EQ(server.stop(), 0);
    // The library was never addressed: not written.
    EXPECT_EQ(readfile(library), readfile(pristine));
}

// A library another program rewrote is read again, and its changes are kept.
TEST_F(Helper, LibraryChangedByAnotherProgramIsReadAgain)
{
    // First batch.
    ASSERT_EQ(server.start_external(), 0);
    EXPECT_EQ(exec(trackscript("database ID is 101", "set start of mytrack to 1\n")), "1");
    server.stop();
    // Another program rewrites the library between the batches.
    rewrite("d['Tracks']['104']['Name'] = 'Renamed'\nd['Tracks']['101']['Start Time'] = 2000");
    // The next batch's helper sees it.
    ASSERT_EQ(server.start_external(), 0);
    EXPECT_EQ(exec("tell application \"iTunes\" to return name of the first item in "
                   "(every file track of playlist 1 whose database ID is 104)"),
              "Renamed");
    EXPECT_EQ(exec("tell application \"iTunes\" to return start of file track 1 of playlist 1"), "2.0");
    // And a change made while this helper runs is not lost when we save ours.
    EXPECT_EQ(exec(trackscript("database ID is 102", "set finish of mytrack to 3\n")), "1");
    usleep(20000);
    rewrite("d['Tracks']['103']['Name'] = 'Changed meanwhile'");
    EXPECT_EQ(exec(trackscript("database ID is 104", "set finish of mytrack to 4\n")), "1");
    server.stop();
    EXPECT_EQ(values("'Name', 'Stop Time'"),
              "101 one.mp3 -\n102 two & more.mp3 3000\n103 Changed meanwhile -\n104 Renamed 4000\n105 Radio -\n");
}

// Changes are saved soon, but never over a library another program is writing.
TEST_F(Helper, SavesAFewSecondsAfterAChangeButNotOverALibraryCaughtHalfWritten)
{
    ASSERT_EQ(server.start_external(), 0);
    EXPECT_EQ(exec(trackscript("database ID is 101", TIMES)), "1");
    std::string text;
    for (int i = 0; i < 100 && text.find("<key>Start Time</key><integer>1234</integer>") == std::string::npos; ++i) {
        usleep(100000);
        text = readfile(library);
    }
    EXPECT_NE(text.find("<key>Start Time</key><integer>1234</integer>"), std::string::npos);
    EXPECT_TRUE(server.running());
    // Another program is in the middle of writing the library when we save
    // the next change: we leave its file alone and keep our change.
    EXPECT_EQ(exec(trackscript("database ID is 102", "set finish of mytrack to 3\n")), "1");
    writefile(library, "<?xml version=\"1.0\"?><plist><dict><key>Tracks</key><dict>");
    usleep(2600000); // past the save delay
    EXPECT_EQ(readfile(library), "<?xml version=\"1.0\"?><plist><dict><key>Tracks</key><dict>");
    // It finishes: its version, with our change on top.
    EXPECT_EQ(testsupport::pythonoutput("import plistlib,sys\nd = plistlib.load(open(sys.argv[1], 'rb'))\n"
                                        "d['Tracks']['104']['Name'] = 'Theirs'\n"
                                        "plistlib.dump(d, open(sys.argv[2], 'wb'))\nprint('ok')",
                                        {pristine, library}),
              "ok\n");
    server.stop();
    EXPECT_EQ(plistquery(library, "t = d['Tracks']\nprint(t['104']['Name'], t['102']['Stop Time'])"), "Theirs 3000\n");
}

TEST_F(Helper, FailedWriteLeavesTheOldLibraryIntact)
{
    // The helper may write no file larger than 1000 bytes: the library (about
    // 4 KiB) can never be saved.
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int e = server.start_external();
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_EQ(e, 0);
    EXPECT_EQ(exec(trackscript("database ID is 101", TIMES)), "1");
    // Asked to save, it says why it could not.
    EXPECT_EQ(exec("tell application \"iTunes\" to save"), std::to_string(EFBIG));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(readfile(library), readfile(pristine));
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        EXPECT_NE(entry.path().filename().string().rfind(".work library.xml.", 0), 0u) << "a temporary file is left";
}

// The system route runs the script with the osascript program; its result is
// cut to the caller's buffer.
TEST_F(Helper, SystemRouteRunsTheScriptWithOsascript)
{
    char small[8];
    EXPECT_EQ(ovra::executewithosascript("return \"a longer result\"", small, sizeof small), 0);
    EXPECT_STREQ(small, "a longe");
}

// The log opens in the console whatever its path holds; nothing in it is run.
TEST_F(Helper, LogOpensInConsoleWhateverItsPath)
{
    for (std::string name :
         {"Tempix.log", "with \"quotes\".log", "back\\slash\\\".log", "\" & (do shell script \"touch x\") & \"",
          "$(touch pwned-by-log) `id`;\nnew line\ttab.log"}) {
        std::string path = dir + "/" + name;
        writefile(path, "log\n");
        std::remove((dir + "/opened").c_str());
        EXPECT_EQ(ovra::tempix::openLogInConsole(path.c_str()), 0);
        EXPECT_EQ(waitforfile(dir + "/opened"), path + "\n") << name;
    }
    EXPECT_NE(access("pwned-by-log", F_OK), 0);
    EXPECT_NE(access("x", F_OK), 0);
}

} // namespace
