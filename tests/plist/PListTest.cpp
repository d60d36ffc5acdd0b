#include "plist/PListNode.h"

#include "support/Process.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace ovra;

namespace {

// A property-list file with the content, in a folder that goes with the test program.
std::string plistfile(const std::string& content)
{
    static int count = 0;
    const std::string path = testsupport::suitefolder() + "/" + std::to_string(++count) + ".xml";
    testsupport::writefile(path, content);
    return path;
}

const char* const PROLOG = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
                           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                           "<plist version=\"1.0\">\n";

std::unique_ptr<PListNode> parse(const std::string& body)
{
    return readPListFile(plistfile(std::string(PROLOG) + body + "</plist>\n").c_str());
}

// The code thrown while reading the file's content, or 0.
int codeOfRaw(const std::string& content)
{
    return testsupport::codeof([&] { readPListFile(plistfile(content).c_str()); });
}

// The same for a document of the given body.
int codeOf(const std::string& body) { return codeOfRaw(std::string(PROLOG) + body + "</plist>\n"); }

} // namespace

// Every kind of value a library holds reads as written.
TEST(PList, ReadsTheValueTypesOfALibrary)
{
    // Entity references stay as written, white space and line feeds too,
    // and text longer than the line buffer is joined again.
    const std::string longText(3000, 'x');
    auto root = parse(
        "<dict>\n<key>Rock &amp; Roll</key><string>  two\nlines &lt;  </string>\n<key>Long</key><string>" + longText +
        "</string>\n<key>Major Version</key><integer>1</integer><key>Date</key><date>2005-01-01T00:00:00Z"
        "</date><key>Ratio</key><real>1.5</real><key>Show</key><true/><key>Hide</key><false/>"
        "<key>Empty</key><string></string><key>Nothing</key><array/><key>Tracks</key>\n<dict>"
        "<key>1234</key><dict><key>Location</key><string>file://localhost/a/Rock%20&#38;%20Roll.mp3"
        "</string></dict></dict><key>Playlists</key><array><dict><key>Name</key><string>Library"
        "</string></dict><dict/></array>"
        // Numbers convert like their prefix.
        "<key>a</key><integer>12abc</integer><key>b</key><integer> -7 </integer>"
        "<key>c</key><integer>  </integer><key>e</key><real>2.25e1</real>"
        "<key>g</key><integer>99999999999</integer></dict>\n");
    PListDict* dict = root->asDict();
    EXPECT_EQ(dict->get("Major Version")->asInteger()->value(), 1);
    EXPECT_DOUBLE_EQ(dict->get("Ratio")->asReal()->value(), 1.5);
    EXPECT_TRUE(dict->get("Show")->asBoolean()->value());
    EXPECT_FALSE(dict->get("Hide")->asBoolean()->value());
    EXPECT_EQ(dict->get("Empty")->asString()->text(), nullptr);
    EXPECT_EQ(dict->get("Nothing")->asArray()->count(), 0);

    // Lookup by integer key and the raw, undecoded character data.
    PListDict* track = dict->get("Tracks")->asDict()->get(1234)->asDict();
    EXPECT_STREQ(track->get("Location")->asString()->text(), "file://localhost/a/Rock%20&#38;%20Roll.mp3");

    PListArray* playlists = dict->get("Playlists")->asArray();
    ASSERT_EQ(playlists->count(), 2);
    EXPECT_STREQ(playlists->at(0)->asDict()->get("Name")->asString()->text(), "Library");
    EXPECT_EQ(playlists->at(1)->asDict()->count(), 0u);

    EXPECT_EQ(dict->get("a")->asInteger()->value(), 12);
    EXPECT_EQ(dict->get("b")->asInteger()->value(), -7);
    EXPECT_EQ(dict->get("c")->asInteger()->value(), 0);
    EXPECT_DOUBLE_EQ(dict->get("e")->asReal()->value(), 22.5);
    EXPECT_EQ(dict->get("g")->asInteger()->value(), INT32_MAX);
    EXPECT_STREQ(dict->get("Rock &amp; Roll")->asString()->text(), "  two\nlines &lt;  ");
    PListString* joined = dict->get("Long")->asString();
    EXPECT_EQ(std::string(joined->text(), joined->length()), longText);
}

TEST(PList, ARepeatedKeyCannotBeRead)
{
    // Which value is meant cannot be told (and another reader may take the
    // other one): the key reads as an error, the others as ever.
    auto root = parse("<dict><key>k</key><integer>1</integer><key>k</key><string>two</string><key></key><integer>3</"
                      "integer></dict>\n");
    PListDict* dict = root->asDict();
    EXPECT_EQ(dict->count(), 2u);
    EXPECT_TRUE(dict->hasrepeatedkeys());
    EXPECT_STREQ(dict->repeatedkey(), "k");
    EXPECT_EQ(testsupport::codeof([&] { dict->get("k"); }), PLIST_ERR_REPEATED_KEY);
    EXPECT_EQ(describeplisterror(PLIST_ERR_REPEATED_KEY), "the key \"k\" occurs more than once in one dictionary");
    EXPECT_EQ(dict->get("")->asInteger()->value(), 3);
}

TEST(PList, LinesOfAnyLengthAndNestingWithinLimits)
{
    // Tags that straddle every offset around the old 1024-byte line buffer.
    std::string body = "<dict>";
    for (int pad = 990; pad < 1040; ++pad)
        body += "<key>n" + std::to_string(pad) + "</key><string>" + std::string(size_t(pad), 'x') + "</string>";
    body += "</dict>\n";
    auto root = parse(body);
    EXPECT_EQ(root->asDict()->count(), 50u);
    EXPECT_EQ(root->asDict()->get("n1023")->asString()->length(), 1023u);

    // 50,000 nested arrays: a clear error at the limit, not a crash.
    std::string deep = "<dict><key>a</key>\n" + std::string(50000 * 7, ' ');
    for (size_t i = 0; i < 50000; ++i)
        deep.replace(19 + i * 7, 7, "<array>");
    EXPECT_EQ(codeOf(deep + "\n"), PLIST_ERR_TOO_DEEP);
    EXPECT_EQ(describeplisterror(PLIST_ERR_TOO_DEEP),
              "at line 5, arrays and dictionaries are nested more than 256 levels deep");
    std::string fine = "<dict><key>a</key>";
    for (int i = 0; i < PLIST_MAX_DEPTH; ++i)
        fine.insert(18 + 7 * size_t(i), "<array></array>");
    EXPECT_EQ(codeOf(fine + "</dict>\n"), 0);
}

// A value of the wrong type or a missing one: the words name it.
TEST(PList, ErrorsSayWhatAndWhere)
{
    auto root = parse("<dict><key>Tracks</key><string>none</string><key>Playlists</key><array/></dict>\n");
    auto words = [&](auto f) { return describeplisterror(testsupport::codeof(f)); };
    EXPECT_EQ(words([&] { root->asDict()->get("Tracks")->asDict(); }), "the value of \"Tracks\" is not a dictionary");
    EXPECT_EQ(words([&] { root->asDict()->get("Music Folder"); }), "there is no \"Music Folder\" entry");
    EXPECT_EQ(words([&] { root->asDict()->get("Playlists")->asArray()->at(0); }),
              "an array has no element 0 (after \"Playlists\")");
}

TEST(PList, OnlyARegularFileIsRead)
{
    // A pipe would block the open, a device never end: both are refused at once.
    testsupport::TempDir dir;
    std::string fifo = dir.path("library.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero"), dir.str()}) {
        EXPECT_EQ(testsupport::codeof([&] { readPListFile(path.c_str()); }), PLIST_ERR_OPEN) << path;
        EXPECT_EQ(describeplisterror(PLIST_ERR_OPEN), "it is not a regular file");
    }
    EXPECT_EQ(testsupport::codeof([] { readPListFile("/nonexistent/library.xml"); }), PLIST_ERR_OPEN);
    EXPECT_EQ(describeplisterror(PLIST_ERR_OPEN), "the file cannot be opened: No such file or directory (errno 2)");
}

// Every code the reader throws, from a whole file (raw) or a body between
// the prolog and the end of the document.
TEST(PList, EveryReaderErrorIsReachableFromAFile)
{
    const struct {
        bool raw;
        std::string text;
        int code;
        const char* words = nullptr; // what describeplisterror says, when given
    } cases[] = {
        // The root is found within the first five lines; after a self-closing
        // root nothing is read; line five of a longer prolog is no tag.
        {true, "<?xml?>\n<plist>\n<dict/>\ngarbage <\n", 0},
        {true, "1\n2\n3\n4\n<dict><key>a</key><true/></dict>\n", 0},
        {true, "1\n2\n3\n4\n5\n<dict></dict>\n", 20110},
        {true, "1\n2\n3\n4\n<plist>\n<dict></dict>\n", 20108},
        {true, "</dict>\n", 20108},
        {true, "", 20109},
        {true, "<dict><key>a</key>\n", 20109},
        {false, "<dict>text<key>a</key><true/></dict>\n", 20110},
        // Fifteen characters are the limit of a tag name with its attributes.
        {false, "<dict><key>a</key><data id=\"123456\">x</data></dict>\n", 20113},
        {true, "<dict><key>a</key><data>abc\n", 20114},
        {false, "<dict><key>a</key><string/></dict>\n", 20115},
        {false, "<dict><key>a</key><integer/></dict>\n", 20116},
        {false, "<dict><key>a</key><real/></dict>\n", 20117},
        {false, "<dict><key>a</key><false></false></dict>\n", 20118},
        {false, "<dict><key>a</key><true></true></dict>\n", 20119},
        {false, "<dict><key>a</key><date>x</data></dict>\n", 20120},
        {false, "<dict><key>a</key><string>x</key></dict>\n", 20121},
        {false, "<dict><key>a</key><integer>1</real></dict>\n", 20123},
        {false, "<dict><key>a</key><real>x1</real></dict>\n", 20124},
        {false, "<dict><key>a</key><real>1</integer></dict>\n", 20125},
        {false, "<dict><key>a</key><array><true/></dict>\n", 20126},
        {false, "<dict><string>a</string></dict>\n", 20127},
        {false, "<dict><key/><true/></dict>\n", 20127},
        {false, "<dict><key>a</string><true/></dict>\n", 20128},
        {false, "<dict><key>a</key></dict>\n", 20129},
        {false, "<dict><key>a</key><true/></array>\n", 20130},
        {false, "<dict>\n<key>a</key>\n<string\n>x</string></dict>\n", 20112,
         "at line 6, a tag does not end on the line where it begins"},
        {false, "<dict>\n\n<key>a</key><integer>abc</integer></dict>\n", 20122,
         "at line 6, an integer holds no number"},
        {false, "<dict>\n<!-- note -->\n</dict>\n", 20111,
         "at line 5, there is a comment or declaration (\"<!\") inside the document"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.raw ? codeOfRaw(c.text) : codeOf(c.text), c.code) << c.text;
        if (c.words) {
            EXPECT_EQ(describeplisterror(c.code), c.words);
            EXPECT_EQ(describeplisterror(c.code + 1), "") << "words only for the code last thrown";
        }
    }
}
