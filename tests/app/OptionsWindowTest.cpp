#include "DesktopFixture.h"

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
        return o;
    }
};

} // namespace

// The sheet shows the current settings; Cancel drops every change.
TEST_F(OptionsSheetTest, ShowsTheCurrentSettingsAndCancelDropsEverything)
{
    auto w = openmain();
    w->optionswindow().setgenres(2, "Opera", "Jazz\nBlues");
    OptionsWindow& o = opensheet(*w);
    EXPECT_EQ(states(o, {101, 102, 103}, &Control::getvalue), (std::vector<bool>{false, false, true}));
    EXPECT_EQ(o.control(104).gettext(), "Opera");
    EXPECT_EQ(o.control(105).gettext(), "Jazz\nBlues");
    press(o, 101);
    o.control(105).settext("Rock");
    press(o, 108); // Cancel
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(o.genrepolicy, 2);
    EXPECT_STREQ(o.goodgenres, "Jazz\nBlues");
}

// A list too long for its field is refused with a message and nothing is
// stored; OK stores the policy and both texts as typed, one that fills the
// field exactly included.
TEST_F(OptionsSheetTest, OkStoresWhatFitsAndRefusesAListTooLongWithAMessage)
{
    auto w = openmain();
    OptionsWindow& o = opensheet(*w);
    press(o, 103);
    std::string longest(2047, 'g');
    o.control(105).settext((longest + "\xc3\xa9").c_str()); // 2049 bytes
    press(o, 107);
    ASSERT_TRUE(o.iscreated()); // still open, nothing stored
    EXPECT_TRUE(contains(o.control(106).gettext(), "too long"));
    EXPECT_EQ(o.genrepolicy, 1);
    EXPECT_STREQ(o.goodgenres, "");

    const std::string bad = "Speech,\nAUDIOBOOK, Bl\xc3\xbc"
                            "es";
    press(o, 101);
    o.control(104).settext(bad.c_str());
    o.control(105).settext(longest.c_str()); // exactly what the field holds
    press(o, 107);                           // OK
    EXPECT_FALSE(o.iscreated());
    EXPECT_EQ(w->batchsettings().genrepolicy, 0);
    EXPECT_EQ(w->batchsettings().badgenres, bad);
    EXPECT_EQ(w->batchsettings().goodgenres, longest);
}
