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
    std::vector<std::pair<int, int>> sizes, moves;

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
    bool resized(int w, int h) override
    {
        sizes.push_back({w, h});
        return true;
    }
    bool moved(int l, int t) override
    {
        moves.push_back({l, t});
        return true;
    }
};

class Chooser : public WindowEvents, public FileDialog {
public:
    std::vector<std::string> chosen;
    int answer = 0;
    int folderchosen(const char* path) override
    {
        chosen.push_back(path);
        return answer;
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
    EXPECT_EQ(probe.findcontrol(999), nullptr);
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

TEST_F(WindowFramework, MoveWithoutResizeCallsOnlyMoved)
{
    probe.show(true);
    processpendingevents();
    probe.sizes.clear();
    probe.moves.clear();
    QPoint at = probe.platformwindow()->pos();
    probe.platformwindow()->move(at + QPoint(40, 30));
    processpendingevents();
    EXPECT_TRUE(probe.sizes.empty());
    ASSERT_FALSE(probe.moves.empty());
    probe.moves.clear();
    probe.platformwindow()->resize(probe.platformwindow()->size() + QSize(50, 20));
    processpendingevents();
    EXPECT_FALSE(probe.sizes.empty());
    EXPECT_TRUE(probe.moves.empty());
}

TEST_F(WindowFramework, APopupSaysWhatIsSelectedAndRefusesTextThatDoesNotFit)
{
    Control popup = probe.control(105);
    char buffer[12];
    EXPECT_EQ(popup.popupselected(), -1);
    EXPECT_FALSE(popup.popupitemtext(-1, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
    popup.popupappend("Choose...");
    popup.popupappendseparator();
    popup.popupappend("0123456789ab");
    EXPECT_EQ(popup.popupcount(), 3);
    EXPECT_EQ(popup.popupselected(), -1); // appending selects nothing
    popup.popupselect(0);
    EXPECT_TRUE(popup.popupitemtext(-1, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "Choose...");
    EXPECT_FALSE(popup.popupitemtext(2, buffer, sizeof buffer)); // does not fit
    EXPECT_STREQ(buffer, "");
    popup.popupselect(7);
    EXPECT_EQ(popup.popupselected(), -1);
    popup.popupclear();
    EXPECT_EQ(popup.popupcount(), 0);
}

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
        probe.control(102).posttitle("Close");
        probe.control(103).postvisible(false);
        probe.control(102).postenable(false);
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
    EXPECT_EQ(probe.control(102).title(), "Close");
    EXPECT_FALSE(probe.control(103).visible());
    EXPECT_FALSE(probe.control(102).enabled());
}

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
TEST(FolderChooser, DeliveryStopsAtANonZeroAnswerOrAPathTooLong)
{
    ensureapplication();
    Chooser chooser;
    std::string paths[] = {"/a", "/b", "/c"};
    chooser.answer = 1;
    chooser.deliver(paths, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});

    chooser.chosen.clear();
    chooser.answer = 0;
    std::string more[] = {"/a", "/" + std::string(1023, 'x'), "/c"};
    chooser.deliver(more, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});
}
