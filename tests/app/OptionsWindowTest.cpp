#include "DesktopFixture.h"
#include "platform/window/ThemeColours.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPlainTextEdit>
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
    static void press(OptionsWindow& o, int id)
    {
        auto* b = qobject_cast<QAbstractButton*>(o.findcontrol(id));
        ASSERT_NE(b, nullptr);
        b->click();
    }
};

} // namespace

// The sheet shows the current settings; Cancel and Escape drop every change.
TEST_F(OptionsSheetTest, ShowsTheCurrentSettingsAndCancelDropsEverything)
{
    auto w = openmain();
    w->optionswindow().setgenres(2, "Opera", "Jazz\nBlues");
    OptionsWindow& o = opensheet(*w);
    EXPECT_FALSE(o.control(101).getvalue());
    EXPECT_FALSE(o.control(102).getvalue());
    EXPECT_TRUE(o.control(103).getvalue());
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

TEST_F(OptionsSheetTest, OkStoresThePolicyAndBothTextsAsTyped)
{
    auto w = openmain();
    OptionsWindow& o = opensheet(*w);
    press(o, 101);
    o.control(104).settext("Speech,\nAUDIOBOOK");
    o.control(105).settext("Jazz, Bl\xc3\xbc"
                           "es");
    press(o, 107); // OK
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 0);
    EXPECT_STREQ(o.badgenres, "Speech,\nAUDIOBOOK");
    EXPECT_STREQ(o.goodgenres,
                 "Jazz, Bl\xc3\xbc"
                 "es");
    EXPECT_EQ(w->batchsettings().genrepolicy, 0);
    EXPECT_EQ(w->batchsettings().goodgenres,
              "Jazz, Bl\xc3\xbc"
              "es");
}

// The message takes the theme's error colour: on a dark theme a light one,
// on a light theme a dark one.
TEST_F(OptionsSheetTest, AListTooLongForItsFieldIsRefusedWithAMessage)
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
    EXPECT_NE(o.control(106).gettext().find("too long"), std::string::npos);
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

    o.control(105).settext(longest.c_str()); // exactly what the field holds
    press(o, 107);
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 2);
    EXPECT_EQ(std::string(o.goodgenres), longest);
}
