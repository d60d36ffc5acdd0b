// The script interpreter through the runner: the scripts the batch and the
// log window build, errors for everything else, and mangled texts that must
// give an error, never a crash.
#include "support/ScriptLibrary.h"
#include "script/AppleScriptRunner.h"
#include "script/LibraryHost.h"
#include "platform/ErrorCodes.h"

#include <gtest/gtest.h>

#include <random>

using namespace scripttest;

namespace {

class Interpreter : public LibraryTest {
protected:
    void SetUp() override
    {
        copylibrary("work.xml");
        ovra::setlibraryfile(library.c_str());
    }

    static std::string result(ovra::AppleScriptRunner& r, const std::string& text, size_t size = 4096)
    {
        std::vector<char> buf(size + 1, '#');
        int status = r.executefromtext(text.c_str(), buf.data(), size);
        return status == 0 ? std::string(buf.data()) : std::string("<") + std::to_string(status) + ">";
    }

    static std::string run1(const std::string& text)
    {
        ovra::AppleScriptRunner r;
        return result(r, text);
    }
};

std::string code(int c) { return "<" + std::to_string(c) + ">"; }

// Values come back as the text the batch and the log window read.
TEST_F(Interpreter, ValuesAndTheirText)
{
    EXPECT_EQ(run1("return 1.234"), "1.234");
    EXPECT_EQ(run1("return 2.0"), "2.0");
    EXPECT_EQ(run1("return \"a \\\"quoted\\\" \\\\ text\""), "a \"quoted\" \\ text");
    EXPECT_EQ(run1("return {1, \"two\", {}}"), "{1, \"two\", {}}");
    EXPECT_EQ(run1("return \"a\" & 1 & \"b\""), "a1b");
    EXPECT_EQ(run1("set x to 5\nx"), "5");                        // the last statement's value
    EXPECT_EQ(run1("set x to 5\nreturn"), "");                    // return without a value
    EXPECT_EQ(run1("-- only a comment\n(* and\nanother *)"), ""); // no value at all
    EXPECT_EQ(run1("return \"ABC\" is \"abc\""), "true");         // text compares ignoring case
    EXPECT_EQ(run1("return {} is not {}"), "false");
    EXPECT_EQ(run1("return item 2 of {4, 5, 6}"), "5");
    EXPECT_EQ(run1("if 1 is 2 then\nreturn 1\nelse if 2 is 3 then\nreturn 2\nelse\nreturn 3\nend if"), "3");
    EXPECT_EQ(run1("SET X TO 3\nIF x IS 3 THEN RETURN \"upper\""), "upper");
}

// Each track script the batch sends finds its file track, or none, by every selector.
TEST_F(Interpreter, EveryTrackScriptTheBatchBuilds)
{
    const std::string times = "set start of mytrack to 1.234\nset finish of mytrack to 245.678\n";
    const std::string volume = "set the volume adjustment of mytrack to -12\n";
    const std::pair<std::string, std::string> selectors[] = {
        {"persistent ID is \"00AB00CD00EF0012\"", "1"},
        {"persistent ID is \"0000000000000ABC\"", "1"},
        {"database ID is 102", "1"},
        {"persistent ID is \"0000000000000001\"", "0"}, // no such track
        {"database ID is 105", "0"},                    // a stream, not a file track
        {"database ID is -1", "0"},
        // Every test of a whose clause must hold.
        {"persistent ID is \"0000000000000ABC\" and database ID is 102", "0"},
        {"database ID is 102 and its name is \"two & more.mp3\" and persistent ID is \"1234567890ABCDEF\"", "1"},
    };
    ovra::AppleScriptRunner r;
    for (const std::string& cmds : {std::string(), times, volume, times + volume}) {
        for (const auto& [selector, expect] : selectors) {
            EXPECT_EQ(result(r, trackscript(selector, cmds), 80), expect) << selector << "\n" << cmds;
        }
    }
}

// Whatever the interpreter does not know is an error with its code, and the
// library is not touched.
TEST_F(Interpreter, ErrorsForEverythingElse)
{
    using namespace ovra;
    const std::string track1 = "tell application \"iTunes\"\nset t to file track 1 of playlist 1\n";
    const std::string tracks = "tell application \"iTunes\" to return every track of playlist 1 whose ";
    std::vector<std::pair<int, std::vector<std::string>>> cases = {
        {SCRIPT_SYNTAX_ERROR,
         {"return \"open", "(* never closed", "return \"bad \\q escape\"", "return 1 @ 2",
          "tell application \"iTunes\"\nreturn 1", "if 1 is 1 then\nreturn 1", "set to 5", "return 12abc",
          "tell application x\nend tell", "do shell script \"touch /tmp/x\"", tracks + "rating is 5",
          tracks + "foo of bar is 5", tracks + "database ID is 5 and",
          // Nesting too deep: a syntax error, not a stack overflow.
          "return " + std::string(100000, '(') + "1" + std::string(100000, ')')}},
        {SCRIPT_APP_NOT_FOUND, {"tell application \"Finder\"\nactivate\nend tell", "return application \"Terminal\""}},
        {SCRIPT_CANT_GET,
         {"return item 1 of {}", "return name of 5", "tell application \"iTunes\" to return playlist 3",
          "tell application \"iTunes\" to return rating of file track 1 of playlist 1"}},
        {SCRIPT_NOT_UNDERSTOOD, {"tell application \"Console\" to open"}},
        {SCRIPT_CANT_MAKE,
         {"tell application \"iTunes\" to refresh 3", "if 1 then return 2",
          track1 + "set start of t to \"soon\"\nend tell"}},
        {SCRIPT_UNDEFINED_VARIABLE, {"return nothere"}},
        {SCRIPT_CANT_SET,
         {track1 + "set volume adjustment of t to 150\nend tell", track1 + "set name of t to \"x\"\nend tell"}},
        {SCRIPT_FILE_NOT_FOUND,
         {"tell application \"Console\" to open POSIX file \"relative/path\"",
          "tell application \"Console\" to open POSIX file \"/no/such/file; rm -rf /tmp/x\""}},
    };
    std::string minus = "return ", ands = "return 1", ifs;
    for (int i = 0; i < 50000; ++i)
        minus += "- ", ands += " & 1", ifs += i < 5000 ? "if true then\n" : "";
    cases[0].second.insert(cases[0].second.end(), {minus + "1", ands, ifs});
    ovra::AppleScriptRunner r;
    for (const auto& [expect, texts] : cases) {
        for (const std::string& text : texts) {
            EXPECT_EQ(result(r, text), code(expect)) << text.substr(0, 80);
        }
    }
    // None of them touched the library.
    EXPECT_EQ(readfile(library), readfile(pristine));
}

// A library of an odd shape gives "not found" or an error, and is not written.
TEST_F(Interpreter, OddOrUnreadableLibrariesGiveNotFoundOrErrorsNeverCrashes)
{
    const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n";
    const std::string tail = "</dict>\n</plist>\n";
    const std::string track = "<key>101</key><dict><key>Track ID</key><integer>101</integer>"
                              "<key>Persistent ID</key><string>00AB00CD00EF0012</string>"
                              "<key>Location</key><string>file:///no/such.mp3</string></dict>";
    const std::string listed =
        "<dict><key>Playlist Items</key><array><dict><key>Track ID</key><integer>101</integer></dict></array></dict>";
    auto lib = [](const std::string& tracks, const std::string& playlists) {
        return "<key>Tracks</key><dict>" + tracks + "</dict><key>Playlists</key><array>" + playlists + "</array>";
    };
    const std::string bodies[] = {
        "",
        "<key>Tracks</key><array/><key>Playlists</key><dict/>",
        "<key>Tracks</key><dict>" + track + "</dict>",
        lib(track, ""),
        lib(track, "<dict></dict>"),
        lib(track, "<dict><key>Playlist Items</key><string>x</string></dict>"),
        lib("<key>101</key><string>not a dict</string>", listed),
        lib("<key>x</key><dict/><key>101</key><dict><key>Persistent ID</key><integer>5</integer></dict>", listed),
        lib("<key>101</key><dict><key>Location</key></dict>", listed),
        // The one track is found, but its file is gone: refresh fails.
        lib(track, listed),
    };
    int n = 0;
    for (const std::string& body : bodies) {
        std::string path = dir + "/odd" + std::to_string(n++) + ".xml";
        writefile(path, head + body + tail);
        ovra::setlibraryfile(path.c_str());
        for (std::string sel : {"persistent ID is \"00AB00CD00EF0012\"", "database ID is 101"}) {
            std::string r = run1(trackscript(sel, "set start of mytrack to 1.0\n"));
            if (n <= 4) // no playlist 1 at all
                EXPECT_EQ(r, code(ovra::SCRIPT_CANT_GET)) << body;
            else if (n == static_cast<int>(std::size(bodies)))
                EXPECT_EQ(r, code(ovra::SCRIPT_FILE_NOT_FOUND)) << body;
            else
                EXPECT_EQ(r, "0") << body;
        }
        EXPECT_EQ(readfile(path), head + body + tail); // nothing changed, nothing written
    }
    // A library that is missing, broken or a folder.
    const std::string script = trackscript("database ID is 101", "");
    ovra::setlibraryfile((dir + "/missing.xml").c_str());
    EXPECT_EQ(run1(script), code(ovra::SCRIPT_FILE_NOT_FOUND));
    for (const std::string& path : {dir + "/odd0.xml", dir}) {
        writefile(dir + "/odd0.xml", head + "<key>Tracks</key>");
        ovra::setlibraryfile(path.c_str());
        EXPECT_EQ(run1(script), code(ovra::SCRIPT_APP_FAILED)) << path;
    }
}

// A cut or garbled script gives an error, never a crash.
TEST_F(Interpreter, MangledScriptsGiveErrorsNeverCrashes)
{
    const std::string base = trackscript("persistent ID is \"00AB00CD00EF0012\"",
                                         "set start of mytrack to 1.234\nset finish of mytrack to 245.678\n"
                                         "set the volume adjustment of mytrack to 7\n");
    const std::string console = "tell application \"Console\"\n\tactivate\n\topen POSIX file \"/no/such\"\nend tell\n";
    ovra::AppleScriptRunner r;
    // Success, or a script error the log has words for.
    auto check = [&](const std::string& t) {
        char buf[80];
        const int status = r.executefromtext(t.c_str(), buf, sizeof buf);
        const bool named = status < 0 && ovra::errorText(status) != "unknown error";
        EXPECT_TRUE(status == 0 || status == ovra::SCRIPT_RESULT_TOO_LONG || named) << status << " for:\n" << t;
    };
    for (const std::string& s : {base, console}) {
        for (size_t cut = 0; cut <= s.size(); ++cut)
            check(s.substr(0, cut)); // every truncation
    }
    std::mt19937 rng(20261207);
    const char junk[] = "\"\\{}()&=-,\n\t ¬#abc01.eE\xff\xc2\xac(**)";
    for (int i = 0; i < 3000; ++i) {
        std::string s = i % 2 ? base : console;
        // A few cuts, stray characters and repeated pieces.
        for (int e = 1 + static_cast<int>(rng() % 6); e > 0 && !s.empty(); --e) {
            const size_t at = rng() % s.size();
            if (rng() % 3 == 0)
                s.erase(at, 1 + rng() % 12);
            else if (rng() % 2 == 0)
                s.insert(at, 1, junk[rng() % (sizeof junk - 1)]);
            else
                s.insert(at, s.substr(rng() % s.size(), rng() % 20));
        }
        check(s);
    }
}

} // namespace
