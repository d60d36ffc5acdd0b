#include "DesktopFixture.h"
#include "platform/window/ThemeColours.h"

#include <QApplication>
#include <QTest>

using namespace ovra;
using namespace ovra::tempix;

namespace {

class OptionsSheetTest : public DesktopTest {
protected:
    OptionsWindow& opensheet(MainWindow& w)
    {
        w.sendcommand(fourcc("More"));
        OptionsWindow& o = w.optionswindow();
        EXPECT_TRUE(o.iscreated());
        EXPECT_EQ(o.platformwindow()->windowModality(), Qt::WindowModal);
        EXPECT_EQ(o.platformwindow()->parentWidget(), w.platformwindow());
        return o;
    }
};

} // namespace

// The sheet shows the current settings; Cancel and Escape drop every change.
TEST_F(OptionsSheetTest, ShowsTheCurrentSettingsAndCancelDropsEverything)
{
    auto w = openmain();
    w->optionswindow().setgenres(2, "Opera", "Jazz\nBlues");
    OptionsWindow& o = opensheet(*w);
    EXPECT_EQ(states(o, {101, 102, 103}, &Control::getvalue), (std::vector<bool>{false, false, true}));
    EXPECT_EQ(o.control(104).gettext(), "Opera");
    EXPECT_EQ(o.control(105).gettext(), "Jazz\nBlues");
    press(o, 101);
    EXPECT_EQ(o.pendingPolicy, 0);
    o.control(105).settext("Rock");
    press(o, 108); // Cancel
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 2);
    EXPECT_STREQ(o.goodgenres, "Jazz\nBlues");

    // Reopened: the earlier radio button, and Escape discards as well.
    opensheet(*w);
    EXPECT_TRUE(o.control(103).getvalue());
    press(o, 102);
    QTest::keyClick(o.platformwindow(), Qt::Key_Escape);
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 2);
}

// A list too long for its field is refused with a message in the theme's
// error colour (on a dark theme a light one, on a light theme a dark one);
// OK stores the policy and both texts as typed, one that fills the field
// exactly included.
TEST_F(OptionsSheetTest, OkStoresWhatFitsAndRefusesAListTooLongWithAMessage)
{
    auto w = openmain();
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    QApplication::setPalette(dark);
    OptionsWindow& o = opensheet(*w);
    press(o, 103);
    std::string longest(2047, 'g');
    o.control(105).settext((longest + "\xc3\xa9").c_str()); // 2049 bytes
    press(o, 107);
    ASSERT_TRUE(o.iscreated()); // still open, nothing stored
    EXPECT_TRUE(contains(o.control(106).gettext(), "too long"));
    QWidget* message = o.findcontrol(106);
    QApplication::setPalette(light);
    EXPECT_TRUE(message->styleSheet().isEmpty());
    const QColor shown = message->palette().color(QPalette::WindowText);
    EXPECT_GT(shown.lightness(), 128);
    EXPECT_GT(shown.red(), shown.green() + 60);
    EXPECT_LT(ovra::errortextcolour(light).lightness(), 100);
    EXPECT_EQ(o.genrepolicy, 1);
    EXPECT_STREQ(o.goodgenres, "");
    EXPECT_TRUE(o.findcontrol(105)->hasFocus() || !o.platformwindow()->isActiveWindow());

    const std::string bad = "Speech,\nAUDIOBOOK, Bl\xc3\xbc"
                            "es";
    press(o, 101);
    o.control(104).settext(bad.c_str());
    o.control(105).settext(longest.c_str()); // exactly what the field holds
    press(o, 107);                           // OK
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 0);
    EXPECT_EQ(std::string(o.badgenres), bad);
    EXPECT_EQ(std::string(o.goodgenres), longest);
    EXPECT_EQ(w->batchsettings().genrepolicy, 0);
    EXPECT_EQ(w->batchsettings().badgenres, bad);
    EXPECT_EQ(w->batchsettings().goodgenres, longest);
}
