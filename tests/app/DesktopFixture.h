// Shared set-up of the desktop tests: the application object on the
// offscreen platform and a fresh home folder per test, so that settings,
// the log and the music library are the test's own; and the user's hand on
// the controls.
#pragma once
#include "app/MainWindow.h"
#include "support/Process.h"
#include "support/Readers.h"
#include "support/TempFolders.h"
#include "platform/window/EventLoop.h"
#include "platform/window/OffscreenApp.h"
#include "platform/window/WindowEvents.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
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

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Clicks a button as the user does: it toggles and sends its command.
inline void press(ovra::NativeWindow& w, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(w.findcontrol(id));
    ASSERT_NE(b, nullptr) << id;
    b->click();
}

// One state of several controls, e.g. states(w, {105, 106}, &ovra::Control::enabled).
inline std::vector<bool> states(ovra::NativeWindow& w, const std::vector<int>& ids,
                                bool (ovra::Control::*state)() const)
{
    std::vector<bool> v;
    for (int id : ids)
        v.push_back((w.control(id).*state)());
    return v;
}

// Picks the path in a file chooser that opened as a sheet.
inline void choosein(QFileDialog* d, const fs::path& path)
{
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->windowModality(), Qt::WindowModal);
    d->selectFile(QString::fromStdString(path.string()));
    static_cast<QDialog*>(d)->accept();
}

class DesktopTest : public ::testing::Test {
protected:
    testsupport::TempHome temphome; // goes after TearDown
    const fs::path home = temphome.root();

    static void SetUpTestSuite() { ensureapplication(); }

    void SetUp() override
    {
        fs::create_directories(home / "Music");
        ovra::setinterfacefolder(nullptr);
    }

    void TearDown() override { ovra::processpendingevents(); }

    std::string musicfolder() const { return (home / "Music").string(); }
    std::string settingsfile() const { return (home / ".config/com.quillfen.tempix.conf").string(); }
    fs::path logfile() const { return home / ".local/state/tempix/Tempix.log"; }

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
