// Shared set-up of the desktop tests: the application object on the
// offscreen platform and a fresh home folder per test, so that settings,
// the log and the music library are the test's own.
#pragma once
#include "app/MainWindow.h"
#include "support/Process.h"
#include "support/Readers.h"
#include "support/TempFolders.h"
#include "platform/window/EventLoop.h"
#include "platform/window/OffscreenApp.h"
#include "platform/window/WindowEvents.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using testsupport::readfile;
using testsupport::runcommand;

// Handles events until the condition holds; false when it never does.
template <class Condition>
bool waitfor(Condition condition, int limitMs = 60000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

class DesktopTest : public ::testing::Test {
protected:
    std::unique_ptr<testsupport::TempHome> temphome;
    fs::path home;

    static void SetUpTestSuite() { ensureapplication(); }

    void SetUp() override
    {
        temphome = std::make_unique<testsupport::TempHome>();
        home = temphome->root();
        fs::create_directories(home / "Music");
        ovra::setinterfacefolder(nullptr);
    }

    void TearDown() override
    {
        ovra::processpendingevents();
        temphome.reset();
    }

    std::string musicfolder() const { return (home / "Music").string(); }
    std::string settingsfile() const { return (home / ".config/com.quillfen.tempix.conf").string(); }

    // A settings file as another run would have left it.
    void writesettings(const std::string& text) { std::ofstream(settingsfile()) << "[General]\n" << text; }

    fs::path defaultlibrary() const { return home / "Music/iTunes/iTunes Music Library.xml"; }

    // A library file, at the default place unless said, with these playlist
    // entries (each the XML of one playlist dictionary's content).
    void writelibrary(const std::vector<std::string>& playlists, fs::path file = fs::path())
    {
        if (file.empty())
            file = defaultlibrary();
        fs::create_directories(file.parent_path());
        std::ofstream f(file);
        f << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST "
             "1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n\t<key>Major "
             "Version</key><integer>1</integer>\n\t<key>Tracks</key>\n\t<dict>\n\t</dict>\n\t<key>Playlists</"
             "key>\n\t<array>\n";
        for (const std::string& p : playlists)
            f << "\t\t<dict>\n" << p << "\t\t</dict>\n";
        f << "\t</array>\n</dict>\n</plist>\n";
    }

    static std::string named(const std::string& name)
    {
        return "\t\t\t<key>Name</key><string>" + name +
            "</string>\n\t\t\t<key>Playlist ID</key><integer>100</integer>\n";
    }

    // Copies of the generated material tracks in a folder of the home.
    fs::path materialfolder(const std::vector<std::pair<std::string, std::string>>& copies)
    {
        fs::path dir = home / "Tracks";
        fs::create_directories(dir);
        for (const auto& [from, to] : copies)
            fs::copy_file(fs::path(TEMPIX_MATERIAL_DIR) / from, dir / to);
        return dir;
    }

    // A main window made as the program makes it.
    std::unique_ptr<ovra::tempix::MainWindow> openmain()
    {
        auto w = std::make_unique<ovra::tempix::MainWindow>();
        EXPECT_EQ(w->createwindow("TempixWindow"), 0);
        EXPECT_EQ(w->installmenubar("MenuBar"), 0);
        w->show(true);
        return w;
    }
};
