// Where the helper finds the library when the batch does not name it: the
// iTunes preference's folder, then the default places.
#include "ScriptTestSupport.h"
#include "script/LibraryHost.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <gtest/gtest.h>

#include <utime.h>

using namespace scripttest;

namespace {

class LibraryLookup : public ::testing::Test {
protected:
    std::string home;
    void SetUp() override
    {
        home = maketempdir("lookup");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        mkdir((home + "/.config").c_str(), 0755);
    }
    void setpreference(const std::string& folder)
    {
        QSettings prefs(QString::fromStdString(home + "/.config/com.apple.iTunes.conf"), QSettings::IniFormat);
        prefs.setValue(QStringLiteral("alis:1:iTunes Library Location"),
                       QByteArray(folder.data(), static_cast<qsizetype>(folder.size())));
        prefs.sync();
    }
    static void touch(const std::string& path, time_t when)
    {
        writefile(path, "<plist/>");
        utimbuf t{when, when};
        utime(path.c_str(), &t);
    }
};

TEST_F(LibraryLookup, DefaultPlaces)
{
    // Nothing anywhere: the Documents place, whether or not it exists.
    EXPECT_EQ(ovra::findlibraryfile(), home + "/Documents/iTunes/iTunes Music Library.xml");
    run("mkdir -p " + shellquoted(home + "/Music/iTunes"));
    touch(home + "/Music/iTunes/iTunes Music Library.xml", 1000);
    EXPECT_EQ(ovra::findlibraryfile(), home + "/Music/iTunes/iTunes Music Library.xml");
}

TEST_F(LibraryLookup, PreferenceFolderAndTheNewerOfTheTwoNames)
{
    std::string folder = home + "/elsewhere";
    mkdir(folder.c_str(), 0755);
    setpreference(folder);
    // Neither file there: the default place.
    EXPECT_EQ(ovra::findlibraryfile(), home + "/Documents/iTunes/iTunes Music Library.xml");
    touch(folder + "/iTunes Library.xml", 2000);
    EXPECT_EQ(ovra::findlibraryfile(), folder + "/iTunes Library.xml");
    touch(folder + "/iTunes Music Library.xml", 1000); // older
    EXPECT_EQ(ovra::findlibraryfile(), folder + "/iTunes Library.xml");
    touch(folder + "/iTunes Music Library.xml", 2000); // as new
    EXPECT_EQ(ovra::findlibraryfile(), folder + "/iTunes Music Library.xml");
    // A named file wins over all of it.
    ovra::setlibraryfile("/named/library.xml");
    EXPECT_EQ(ovra::libraryfile(), "/named/library.xml");
    ovra::setlibraryfile(nullptr);
    EXPECT_EQ(ovra::libraryfile(), folder + "/iTunes Music Library.xml");
}

} // namespace
