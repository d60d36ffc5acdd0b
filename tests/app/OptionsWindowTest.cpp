#include "DesktopFixture.h"

#include <QAbstractButton>
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

TEST_F(OptionsSheetTest, ShowsTheCurrentSettings)
{
    auto w = openmain();
    w->optionswindow().setgenres(2, "Opera", "Jazz\nBlues");
    OptionsWindow& o = opensheet(*w);
    EXPECT_FALSE(o.control(101).getvalue());
    EXPECT_FALSE(o.control(102).getvalue());
    EXPECT_TRUE(o.control(103).getvalue());
    EXPECT_EQ(o.control(104).gettext(), "Opera");
    EXPECT_EQ(o.control(105).gettext(), "Jazz\nBlues");
}

TEST_F(OptionsSheetTest, CancelDropsEverything)
{
    auto w = openmain();
    OptionsWindow& o = opensheet(*w);
    press(o, 103);
    EXPECT_EQ(o.pendingPolicy, 2);
    o.control(105).settext("Jazz");
    press(o, 108); // Cancel
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 1);
    EXPECT_STREQ(o.goodgenres, "");

    // Reopened: the earlier radio button, and Escape discards as well.
    opensheet(*w);
    EXPECT_TRUE(o.control(102).getvalue());
    press(o, 101);
    QTest::keyClick(o.platformwindow(), Qt::Key_Escape);
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 1);
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

TEST_F(OptionsSheetTest, AListTooLongForItsFieldIsRefusedWithAMessage)
{
    auto w = openmain();
    OptionsWindow& o = opensheet(*w);
    press(o, 103);
    std::string longest(2047, 'g');
    o.control(105).settext((longest + "\xc3\xa9").c_str()); // 2049 bytes
    press(o, 107);
    ASSERT_TRUE(o.iscreated()); // still open, nothing stored
    EXPECT_NE(o.control(106).gettext().find("too long"), std::string::npos);
    EXPECT_EQ(o.genrepolicy, 1);
    EXPECT_STREQ(o.goodgenres, "");
    EXPECT_TRUE(o.findcontrol(105)->hasFocus() || !o.platformwindow()->isActiveWindow());

    o.control(105).settext(longest.c_str()); // exactly what the field holds
    press(o, 107);
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 2);
    EXPECT_EQ(std::string(o.goodgenres), longest);
}
