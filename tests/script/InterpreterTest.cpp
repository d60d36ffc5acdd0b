// The script interpreter through the runner: the scripts the batch and the
// log window build, the runner's own codes, errors for everything else, and
// mangled texts that must give an error, never a crash.
#include "support/ScriptLibrary.h"
#include "script/AppleScriptRunner.h"
#include "script/LibraryDocument.h"
#include "script/LibraryHost.h"
#include "platform/ErrorCodes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>

using namespace scripttest;

namespace {

class Interpreter : public LibraryTest {
protected:
    void SetUp() override
    {
        copylibrary("work.xml");
        ovra::setlibraryfile(library.c_str());
    }

    static std::string result(ovra::AppleScriptRunner& r, const std::string& text, int* status, size_t size = 4096)
    {
        std::vector<char> buf(size + 1, '#');
        *status = r.executefromtext(text.c_str(), buf.data(), size);
        return *status == 0 ? std::string(buf.data()) : std::string("<") + std::to_string(*status) + ">";
    }

    static std::string run1(const std::string& text)
    {
        ovra::AppleScriptRunner r;
        int status = 0;
        return result(r, text, &status);
    }
};

std::string code(int c) { return "<" + std::to_string(c) + ">"; }

TEST_F(Interpreter, ValuesAndTheirText)
{
    EXPECT_EQ(run1("return 1"), "1");
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
    EXPECT_EQ(run1("return the class of {}"), "list");
    EXPECT_EQ(run1("return item 2 of {4, 5, 6}"), "5");
    EXPECT_EQ(run1("if 1 is 2 then\nreturn 1\nelse if 2 is 3 then\nreturn 2\nelse\nreturn 3\nend if"), "3");
    EXPECT_EQ(run1("SET X TO 3\nIF x IS 3 THEN RETURN \"upper\""), "upper");
}

TEST_F(Interpreter, RunnerCodesAndResultSize)
{
    ovra::AppleScriptRunner r;
    int status = 0;
    // 79 bytes fit into 80; 80 do not, and the buffer stays untouched.
    std::string t79(79, 'a'), t80(80, 'b');
    EXPECT_EQ(result(r, "return \"" + t79 + "\"", &status, 80), t79);
    char buf[80];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(r.executefromtext(("return \"" + t80 + "\"").c_str(), buf, sizeof buf), ovra::SCRIPT_RESULT_TOO_LONG);
    EXPECT_EQ(buf[0], '#');

    ovra::AppleScript s(&r);
    EXPECT_EQ(s.execute(buf, sizeof buf), ovra::SCRIPT_NOT_COMPILED);
    EXPECT_EQ(s.fromtext("return 3", 8), 0);
    EXPECT_EQ(s.fromtext("return 4", 8), ovra::SCRIPT_ALREADY_COMPILED);
    EXPECT_EQ(s.execute(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "3");
    ovra::AppleScript none(nullptr);
    EXPECT_EQ(none.execute(buf, sizeof buf), ovra::SCRIPT_NO_COMPONENT);
}

TEST_F(Interpreter, EveryTrackScriptTheBatchBuilds)
{
    const std::string times = "set start of mytrack to 1.234\nset finish of mytrack to 245.678\n";
    const std::string volume = "set the volume adjustment of mytrack to -12\n";
    struct Case {
        std::string selector;
        std::string commands;
        std::string expect;
    };
    std::vector<Case> cases;
    for (const std::string& cmds : {std::string(), times, volume, times + volume}) {
        cases.push_back({"persistent ID is \"00AB00CD00EF0012\"", cmds, "1"});
        cases.push_back({"persistent ID is \"0000000000000ABC\"", cmds, "1"});
        cases.push_back({"database ID is 102", cmds, "1"});
        cases.push_back({"database ID is 104", cmds, "1"});
        cases.push_back({"persistent ID is \"0000000000000001\"", cmds, "0"}); // no such track
        cases.push_back({"database ID is 999", cmds, "0"});
        cases.push_back({"database ID is 105", cmds, "0"}); // a stream, not a file track
        cases.push_back({"database ID is -1", cmds, "0"});
        // Every test of a whose clause must hold.
        cases.push_back({"persistent ID is \"0000000000000ABC\" and database ID is 102", cmds, "0"});
        cases.push_back(
            {"database ID is 102 and its name is \"two & more.mp3\" and persistent ID is \"1234567890ABCDEF\"", cmds,
             "1"});
    }
    ovra::AppleScriptRunner r;
    for (const Case& c : cases) {
        int status = 0;
        EXPECT_EQ(result(r, trackscript(c.selector, c.commands), &status, 80), c.expect) << c.selector << "\n"
                                                                                         << c.commands;
    }
}

TEST_F(Interpreter, ErrorsForEverythingElse)
{
    using namespace ovra;
    std::vector<std::pair<std::string, int>> cases = {
        {"return \"open", SCRIPT_SYNTAX_ERROR},
        {"(* never closed", SCRIPT_SYNTAX_ERROR},
        {"return \"bad \\q escape\"", SCRIPT_SYNTAX_ERROR},
        {"return 1 @ 2", SCRIPT_SYNTAX_ERROR},
        {"tell application \"iTunes\"\nreturn 1", SCRIPT_SYNTAX_ERROR},
        {"if 1 is 1 then\nreturn 1", SCRIPT_SYNTAX_ERROR},
        {"set to 5", SCRIPT_SYNTAX_ERROR},
        {"return 12abc", SCRIPT_SYNTAX_ERROR},
        {"tell application x\nend tell", SCRIPT_SYNTAX_ERROR},
        {"do shell script \"touch /tmp/x\"", SCRIPT_SYNTAX_ERROR},
        {"tell application \"Finder\"\nactivate\nend tell", SCRIPT_APP_NOT_FOUND},
        {"return application \"Terminal\"", SCRIPT_APP_NOT_FOUND},
        {"return item 1 of {}", SCRIPT_CANT_GET},
        {"return name of 5", SCRIPT_CANT_GET},
        {"tell application \"iTunes\" to return playlist 3", SCRIPT_CANT_GET},
        {"tell application \"iTunes\" to return every track of playlist 1 whose rating is 5", SCRIPT_SYNTAX_ERROR},
        {"tell application \"iTunes\" to return every track of playlist 1 whose foo of bar is 5", SCRIPT_SYNTAX_ERROR},
        {"tell application \"iTunes\" to return every track of playlist 1 whose database ID is 5 and",
         SCRIPT_SYNTAX_ERROR},
        {"tell application \"iTunes\" to return rating of file track 1 of playlist 1", SCRIPT_CANT_GET},
        {"tell application \"Console\" to open", SCRIPT_NOT_UNDERSTOOD},
        {"tell application \"iTunes\" to refresh 3", SCRIPT_CANT_MAKE},
        {"if 1 then return 2", SCRIPT_CANT_MAKE},
        {"return nothere", SCRIPT_UNDEFINED_VARIABLE},
        {"tell application \"iTunes\"\nset t to file track 1 of playlist 1\nset start of t to \"soon\"\nend tell",
         SCRIPT_CANT_MAKE},
        {"tell application \"iTunes\"\nset t to file track 1 of playlist 1\nset volume adjustment of t to 150\nend "
         "tell",
         SCRIPT_CANT_SET},
        {"tell application \"iTunes\"\nset t to file track 1 of playlist 1\nset name of t to \"x\"\nend tell",
         SCRIPT_CANT_SET},
        {"tell application \"Console\" to open POSIX file \"relative/path\"", SCRIPT_FILE_NOT_FOUND},
        {"tell application \"Console\" to open POSIX file \"/no/such/file; rm -rf /tmp/x\"", SCRIPT_FILE_NOT_FOUND},
        // Nesting too deep: a syntax error, not a stack overflow.
        {"return " + std::string(100000, '(') + "1" + std::string(100000, ')'), SCRIPT_SYNTAX_ERROR},
    };
    std::string minus = "return ", ands = "return 1", ifs;
    for (int i = 0; i < 50000; ++i)
        minus += "- ", ands += " & 1", ifs += i < 5000 ? "if true then\n" : "";
    for (const std::string& deep : {minus + "1", ands, ifs})
        cases.push_back({deep, SCRIPT_SYNTAX_ERROR});
    ovra::AppleScriptRunner r;
    for (const auto& [text, expect] : cases) {
        int status = 0;
        EXPECT_EQ(result(r, text, &status), code(expect)) << text.substr(0, 80);
    }
    // None of them touched the library.
    EXPECT_EQ(readfile(library), readfile(pristine));
}

TEST_F(Interpreter, OddOrUnreadableLibrariesGiveNotFoundOrErrorsNeverCrashes)
{
    const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n";
    const std::string tail = "</dict>\n</plist>\n";
    const std::string track = "<key>101</key><dict><key>Track ID</key><integer>101</integer>"
                              "<key>Persistent ID</key><string>00AB00CD00EF0012</string>"
                              "<key>Location</key><string>file:///no/such.mp3</string></dict>";
    const std::string items =
        "<key>Playlist Items</key><array><dict><key>Track ID</key><integer>101</integer></dict></array>";
    const std::string bodies[] = {
        "",
        "<key>Tracks</key><dict></dict>",
        "<key>Tracks</key><array/><key>Playlists</key><dict/>",
        "<key>Tracks</key><dict>" + track + "</dict>",
        "<key>Tracks</key><dict>" + track + "</dict><key>Playlists</key><array></array>",
        "<key>Tracks</key><dict>" + track + "</dict><key>Playlists</key><array><dict></dict></array>",
        "<key>Tracks</key><dict>" + track +
            "</dict><key>Playlists</key><array><dict><key>Playlist Items</key><string>x</string></dict></array>",
        "<key>Tracks</key><dict><key>101</key><string>not a dict</string></dict><key>Playlists</key><array><dict>" +
            items + "</dict></array>",
        "<key>Tracks</key><dict><key>x</key><dict/><key>101</key><dict><key>Persistent "
        "ID</key><integer>5</integer></dict></dict>"
        "<key>Playlists</key><array><dict>" +
            items + "</dict></array>",
        "<key>Tracks</key><dict><key>101</key><dict><key>Location</key></dict></dict><key>Playlists</"
        "key><array><dict>" +
            items + "</dict></array>",
        // The one track is found, but its file is gone: refresh fails.
        "<key>Tracks</key><dict>" + track + "</dict><key>Playlists</key><array><dict>" + items + "</dict></array>",
    };
    int n = 0;
    for (const std::string& body : bodies) {
        std::string path = dir + "/odd" + std::to_string(n++) + ".xml";
        writefile(path, head + body + tail);
        ovra::setlibraryfile(path.c_str());
        for (const std::string& sel :
             {std::string("persistent ID is \"00AB00CD00EF0012\""), std::string("database ID is 101")}) {
            std::string r = run1(trackscript(sel, "set start of mytrack to 1.0\n"));
            if (n <= 5) // no playlist 1 at all
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

TEST_F(Interpreter, MangledScriptsGiveErrorsNeverCrashes)
{
    const std::string base = trackscript("persistent ID is \"00AB00CD00EF0012\"",
                                         "set start of mytrack to 1.234\nset finish of mytrack to 245.678\n"
                                         "set the volume adjustment of mytrack to 7\n");
    const std::string console = "tell application \"Console\"\n\tactivate\n\topen POSIX file \"/no/such\"\nend tell\n";
    std::set<int> allowed = {0,
                             ovra::SCRIPT_SYNTAX_ERROR,
                             ovra::SCRIPT_CANT_GET,
                             ovra::SCRIPT_NOT_UNDERSTOOD,
                             ovra::SCRIPT_APP_NOT_FOUND,
                             ovra::SCRIPT_CANT_MAKE,
                             ovra::SCRIPT_CANT_SET,
                             ovra::SCRIPT_UNDEFINED_VARIABLE,
                             ovra::SCRIPT_FILE_NOT_FOUND,
                             ovra::SCRIPT_APP_FAILED,
                             ovra::SCRIPT_RESULT_TOO_LONG};
    std::vector<std::string> texts;
    for (const std::string& s : {base, console}) {
        for (size_t cut = 0; cut <= s.size(); ++cut)
            texts.push_back(s.substr(0, cut)); // every truncation
    }
    std::mt19937 rng(20261207);
    const char junk[] = "\"\\{}()&=-,\n\t ¬#abc01.eE\xff\xc2\xac(**)";
    for (int i = 0; i < 3000; ++i) {
        std::string s = i % 2 ? base : console;
        int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !s.empty(); ++e) {
            size_t at = rng() % s.size();
            switch (rng() % 4) {
            case 0:
                s.erase(at, 1 + rng() % 12);
                break;
            case 1:
                s.insert(at, 1, junk[rng() % (sizeof junk - 1)]);
                break;
            case 2:
                s[at] = junk[rng() % (sizeof junk - 1)];
                break;
            case 3:
                s.insert(at, s.substr(rng() % s.size(), rng() % 20));
                break;
            }
        }
        texts.push_back(s);
    }
    ovra::AppleScriptRunner r;
    for (const std::string& t : texts) {
        int status = 0;
        std::string out = result(r, t, &status, 80);
        EXPECT_TRUE(allowed.count(status)) << status << " for:\n" << t;
    }
}

} // namespace
