// At a scale factor of 2 on a screen 1000 pixels high, the main window and
// the sheet (the tallest windows) fit and their buttons stay on screen.
#include "DesktopFixture.h"

#include <QPushButton>
#include <QScreen>

#include <fstream>

using namespace ovra::tempix;

namespace {

class ScaleTest : public DesktopTest {
protected:
    static void SetUpTestSuite()
    {
        // A screen of 1600 x 1000 device pixels, and the scale of a high
        // density display; both must be set before the application exists.
        std::ofstream("/tmp/tempix-scale-screen.json")
            << R"({"screens": [{"name": "tall", "x": 0, "y": 0, "width": 1600, "height": 1000,)"
            << R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
        setenv("QT_SCALE_FACTOR", "2", 1);
        ensureapplication("offscreen:configfile=/tmp/tempix-scale-screen.json");
    }

    // The button's bottom edge inside the window.
    static bool onscreen(QWidget* window, const char* button)
    {
        auto* b = window->findChild<QPushButton*>(button);
        return b && b->isVisible() && b->mapTo(window, QPoint(0, b->height())).y() <= window->height();
    }
};

} // namespace

// A high density laptop screen must still reach Start and Cancel.
TEST_F(ScaleTest, WindowsFitAThousandPixels)
{
    auto w = openmain();
    QWidget* main = w->platformwindow();
    QScreen* screen = main->screen();
    ASSERT_EQ(screen->devicePixelRatio(), 2.0);
    ASSERT_EQ(screen->geometry().height() * 2, 1000);
    ovra::processpendingevents();
    // Device pixels: the minimum leaves room for a title bar and a panel.
    EXPECT_LE(main->minimumSizeHint().height() * 2, 1000 - 120);
    EXPECT_LE(main->frameGeometry().height(), screen->availableGeometry().height());
    EXPECT_TRUE(onscreen(main, "startButton"));

    // The sheet, the tallest window.
    fs::create_directories(home / "Empty");
    w->sendcommand(ovra::fourcc("RCLo"));
    w->folderchosen((home / "Empty").c_str());
    w->sendcommand(ovra::fourcc("Strt"));
    QWidget* sheet = w->processingwindow().platformwindow();
    ASSERT_NE(sheet, nullptr);
    ovra::processpendingevents();
    EXPECT_LE(sheet->minimumSizeHint().height() * 2, 1000 - 120);
    EXPECT_LE(sheet->frameGeometry().height(), screen->availableGeometry().height());
    EXPECT_TRUE(onscreen(sheet, "cancelButton"));
    ASSERT_TRUE(waitfor([&] { return !w->processingwindow().running(); }));
}
