#include "OffscreenApp.h"
#include "platform/window/FileDialog.h"
#include "platform/window/WindowEvents.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

#include <string>
#include <thread>
#include <vector>

using namespace ovra;

namespace {

class Probe : public WindowEvents {
public:
    int createdCalls = 0;
    std::vector<std::string> commands;

    bool windowcreated() override
    {
        ++createdCalls;
        return true;
    }
    bool command(CommandID c) override
    {
        commands.push_back(fourcctext(c));
        return true;
    }
};

class Chooser : public WindowEvents, public FileDialog {
public:
    std::vector<std::string> chosen;
    int folderchosen(const char* path) override
    {
        chosen.push_back(path);
        return 0;
    }
};

class WindowFramework : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ensureapplication();
        setinterfacefolder(TEMPIX_SOURCE_DIR "/tests/platform/window/ui");
    }
    static void TearDownTestSuite() { setinterfacefolder(nullptr); }

    Probe probe;
    void SetUp() override { ASSERT_EQ(probe.createwindow("ProbeWindow"), 0); }
};

} // namespace

// Changes posted for a window that is then disposed are dropped, not shown
// in the next window of the same object. Commands from controls, menus, the
// close box and Escape, and the progress bar, are exercised through the real
// windows (tests/app).
TEST_F(WindowFramework, CreatesWindowsByNameOnceFindsControlsByNumberAndDropsStaleChanges)
{
    Probe none;
    EXPECT_EQ(none.createwindow("NoSuchWindow"), -1);
    EXPECT_FALSE(none.iscreated());
    QWidget* first = probe.platformwindow();
    EXPECT_EQ(probe.createwindow("ProbeWindow"), 0);
    EXPECT_EQ(probe.platformwindow(), first);
    EXPECT_EQ(probe.createdCalls, 1);
    EXPECT_NE(qobject_cast<QLineEdit*>(probe.findcontrol(108)), nullptr);
    EXPECT_EQ(probe.control(101).gettext(), "label");
    std::thread([&] {
        probe.control(101).posttext("stale");
        probe.control(104).postmaximum(9);
    }).join();
    EXPECT_EQ(probe.dispose(), 0);
    EXPECT_EQ(probe.dispose(), -1);
    EXPECT_FALSE(probe.control(101).exists());
    ASSERT_EQ(probe.createwindow("ProbeWindow"), 0); // the next sheet, same object
    processpendingevents();
    EXPECT_EQ(probe.control(101).gettext(), "label");
    EXPECT_NE(probe.control(104).progressmaximum(), 9);
    probe.control(101).posttext("fresh");
    processpendingevents();
    EXPECT_EQ(probe.control(101).gettext(), "fresh");
}

// Workers post changes without waiting for the window; they arrive in order.
TEST_F(WindowFramework, PostedChangesFromAnotherThreadArriveInOrder)
{
    auto* edit = qobject_cast<QLineEdit*>(probe.findcontrol(108));
    auto* bar = qobject_cast<QProgressBar*>(probe.findcontrol(104));
    std::vector<std::string> seen;
    QObject::connect(edit, &QLineEdit::textChanged, [&](const QString& t) { seen.push_back("t" + t.toStdString()); });
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) { seen.push_back("v" + std::to_string(v)); });

    const int n = 300;
    // The main thread dispatches nothing until the poster has finished:
    // posting must not wait for it.
    std::thread poster([&] {
        Control e = probe.control(108), p = probe.control(104);
        p.postmaximum(n);
        for (int i = 1; i <= n; ++i) {
            e.posttext(std::to_string(i).c_str());
            p.postvalue(i);
        }
    });
    poster.join();
    EXPECT_TRUE(seen.empty());
    processpendingevents();
    std::vector<std::string> expected;
    for (int i = 1; i <= n; ++i) {
        expected.push_back("t" + std::to_string(i));
        expected.push_back("v" + std::to_string(i));
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(probe.control(104).progressmaximum(), n);
}

// A quit from another thread ends the loop; no window is asked to close.
TEST_F(WindowFramework, QuitFromAnotherThreadEndsTheLoopWithoutClosingWindows)
{
    probe.show(true);
    std::thread quitter;
    QTimer::singleShot(0, [&] { quitter = std::thread([] { quitapplication(); }); });
    EXPECT_EQ(runguardedloop(), 0);
    quitter.join();
    EXPECT_TRUE(probe.commands.empty()); // no close request reached the window
    EXPECT_TRUE(probe.platformwindow()->isVisible());
}

// The dialog itself is exercised through the main window (tests/app).
TEST(FolderChooser, APathTooLongForItsFieldEndsTheDelivery)
{
    ensureapplication();
    Chooser chooser;
    std::string paths[] = {"/a", "/" + std::string(1023, 'x'), "/c"};
    chooser.deliver(paths, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});
}
