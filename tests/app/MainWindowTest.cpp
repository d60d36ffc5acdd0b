#include "DesktopFixture.h"
#include "support/BatchLibraryText.h"
#include "tags/WriteJournal.h"

#include <QAction>
#include <QComboBox>
#include <QTableWidget>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ovra;
using namespace ovra::tempix;
using testsupport::integer;

namespace {

const char* const DEFAULT_BAD = "Podcast, Speech, Books & Spoken,\nClassical, Opera, Chamber Music, Sonata, Symphony";

// Tempo, overwrite, times, intro, outro, volume, volume overwrite, export,
// reprocess, ReplayGain.
const std::vector<int> CHECKBOXES = {105, 106, 107, 132, 111, 130, 131, 112, 113, 147};

void choose(MainWindow& w, int index)
{
    auto* popup = qobject_cast<QComboBox*>(w.findcontrol(141));
    ASSERT_NE(popup, nullptr);
    popup->setCurrentIndex(index);
    emit popup->activated(index);
}

std::vector<std::string> popupitems(MainWindow& w)
{
    auto* popup = qobject_cast<QComboBox*>(w.findcontrol(141));
    std::vector<std::string> items;
    for (int i = 0; popup && i < popup->count(); ++i)
        items.push_back(popup->itemText(i).toStdString());
    return items;
}

// The pop-up's fixed items, then these playlists.
std::vector<std::string> offered(std::vector<std::string> playlists)
{
    playlists.insert(playlists.begin(), {"Choose...", "Refresh this list", ""});
    return playlists;
}

class MainWindowTest : public DesktopTest {
protected:
    // A settings file as another run would have left it.
    void writesettings(const std::string& text) { std::ofstream(settingsfile()) << "[General]\n" << text; }

    fs::path defaultlibrary() const { return home / "Music/iTunes/iTunes Music Library.xml"; }

    // A library file, at the default place unless said, with these playlists.
    void writelibrary(const std::vector<std::string>& playlists, fs::path file = fs::path())
    {
        if (file.empty())
            file = defaultlibrary();
        fs::create_directories(file.parent_path());
        std::string all;
        for (const std::string& p : playlists)
            all += p;
        testsupport::writefile(file.string(), testsupport::libraryText("", all));
    }

    // A playlist with one track: an empty one is not offered.
    static std::string named(const std::string& name)
    {
        return testsupport::playlist(name, integer("Playlist ID", 100) + testsupport::items({100}));
    }
};

} // namespace

// A first start shows every default; without a library file the window says
// so where the sources are chosen, and the library sources and the export
// wait for one. The one chosen is kept; one that is no library, or is gone,
// is said to be so.
TEST_F(MainWindowTest, FirstRunShowsEveryDefaultAndTheLibraryFileIsChosen)
{
    auto w = openmain();
    EXPECT_EQ(w->currentsource(), 0);
    EXPECT_EQ(std::string(w->folder()), musicfolder());
    EXPECT_STREQ(w->playlistname(), "");
    EXPECT_EQ(w->control(104).gettext(), musicfolder());
    EXPECT_EQ(states(*w, CHECKBOXES, &Control::getvalue),
              (std::vector<bool>{true, false, false, false, false, false, false, false, false, false}));
    EXPECT_TRUE(w->control(115).enabled());
    EXPECT_EQ(states(*w, {112, 117, 118}, &Control::enabled), (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(w->control(143).visible());
    EXPECT_EQ(w->control(142).gettext(), "None found");
    EXPECT_EQ(w->control(143).gettext(),
              "No library file was found in " + musicfolder() + "/iTunes or in " + (home / "Documents").string() +
                  "/iTunes. Choose the library file to process the whole library or a playlist.");

    fs::path chosen = home / "Elsewhere/My Library.xml";
    writelibrary({named("Library"), named("Gym")}, chosen);
    press(*w, 144);
    choosein(w->librarydialog(), chosen);
    EXPECT_EQ(w->control(142).gettext(), chosen.string());
    EXPECT_FALSE(w->control(143).visible());
    EXPECT_EQ(states(*w, {112, 117, 118}, &Control::enabled), (std::vector<bool>{true, true, true}));
    EXPECT_TRUE(w->control(112).getvalue()); // the export comes back with a library
    press(*w, 118);
    EXPECT_EQ(popupitems(*w), offered({"Library (1)", "Gym (1)"}));
    EXPECT_EQ(w->batchsettings().libraryFile, chosen.string());
    EXPECT_FALSE(fs::exists(settingsfile())); // nothing is written before the end
    w.reset();
    EXPECT_TRUE(contains(readfile(settingsfile()), "libraryfile=" + chosen.string()));

    w = openmain();
    EXPECT_EQ(w->control(142).gettext(), chosen.string());
    fs::path bad = home / "notes.xml";
    std::ofstream(bad) << "shopping list";
    w->librarychosen(bad.c_str());
    EXPECT_TRUE(contains(w->control(143).gettext(), "The library file " + bad.string() + " is damaged"))
        << w->control(143).gettext();
    EXPECT_EQ(popupitems(*w).size(), 3u);
    w->librarychosen((home / "gone.xml").c_str());
    EXPECT_FALSE(w->control(118).enabled());
    EXPECT_FALSE(w->control(115).enabled());
    EXPECT_EQ(w->control(115).tooltip().rfind("Choose a library file first", 0), 0u);
}

// What the user chose is saved when the window goes and shown on the next start.
TEST_F(MainWindowTest, SettingsSurviveARestart)
{
    fs::create_directories(home / "Albums");
    {
        auto w = openmain();
        press(*w, 119);
        w->folderchosen((home / "Albums").c_str());
        for (int id : {107, 132, 130, 112, 113, 147}) // times on, export off, ReplayGain on
            press(*w, id);
        w->optionswindow().setgenres(2, "Jazz", "Rock,\nPop");
    } // the window object goes: the settings are saved now
    EXPECT_TRUE(contains(readfile(settingsfile()), "replaygain=1"));
    auto w = openmain();
    EXPECT_EQ(w->currentsource(), 3);
    EXPECT_EQ(std::string(w->folder()), (home / "Albums").string());
    EXPECT_TRUE(w->control(119).getvalue());
    EXPECT_EQ(w->control(104).gettext(), (home / "Albums").string());
    EXPECT_EQ(states(*w, CHECKBOXES, &Control::getvalue),
              (std::vector<bool>{true, false, true, true, false, true, false, false, true, true}));
    EXPECT_EQ(w->batchoptions().replaygain, ReplayGainMode::track);
    EXPECT_EQ(w->optionswindow().genrepolicy, 2);
    EXPECT_STREQ(w->optionswindow().badgenres, "Jazz");
    EXPECT_STREQ(w->optionswindow().goodgenres, "Rock,\nPop");
}

// Stored values fail one by one; the genre group falls back as a whole; a
// source outside the range keeps the path.
TEST_F(MainWindowTest, StoredValuesFailOneByOne)
{
    writesettings("genrepolicy=2\ngoodgenres=Rock\nsource=0\npath=/somewhere/else\ndetectbpm=yes\nadjustvolume=1\n");
    auto w = openmain();
    EXPECT_EQ(w->optionswindow().genrepolicy, 1); // no badgenres
    EXPECT_STREQ(w->optionswindow().badgenres, DEFAULT_BAD);
    EXPECT_STREQ(w->optionswindow().goodgenres, "");
    EXPECT_EQ(std::string(w->folder()), musicfolder()); // source 0 always walks the Music folder
    // Tempo of the wrong type: the default; volume read; no library file to send to.
    EXPECT_EQ(states(*w, {105, 130, 112}, &Control::getvalue), (std::vector<bool>{true, true, false}));
    w.reset();

    writesettings("source=7\npath=/data/tracks\n");
    w = openmain();
    EXPECT_EQ(states(*w, {116, 117, 118, 119}, &Control::getvalue), std::vector<bool>(4, false));
    EXPECT_STREQ(w->folder(), "/data/tracks");
}

// Dependent checkboxes follow their parent; Start needs tempo, times or
// volume (export and reprocess do not count) and a chosen playlist, and its
// tooltip names what stands in its way; the pop-up only for a playlist, the
// chooser only for a chosen folder.
TEST_F(MainWindowTest, ControlStateRules)
{
    writelibrary({named("Library")});
    auto w = openmain();
    const std::vector<int> dependent = {106, 132, 111, 131};
    EXPECT_EQ(states(*w, dependent, &Control::enabled), (std::vector<bool>{true, false, false, false}));
    press(*w, 107);
    EXPECT_EQ(states(*w, dependent, &Control::enabled), (std::vector<bool>{true, true, true, false}));
    press(*w, 130);
    EXPECT_TRUE(w->control(131).enabled());
    press(*w, 105);
    EXPECT_FALSE(w->control(106).enabled());

    press(*w, 107);
    press(*w, 130);
    EXPECT_FALSE(w->control(115).enabled());
    press(*w, 113);
    EXPECT_TRUE(w->control(112).getvalue());
    EXPECT_FALSE(w->control(115).enabled());
    press(*w, 130);
    EXPECT_TRUE(w->control(115).enabled());

    const std::vector<int> popupAndChooser = {141, 103};
    EXPECT_EQ(states(*w, popupAndChooser, &Control::enabled), (std::vector<bool>{false, false}));
    press(*w, 119);
    EXPECT_EQ(w->control(104).gettext(), musicfolder());
    EXPECT_EQ(states(*w, popupAndChooser, &Control::enabled), (std::vector<bool>{false, true}));
    press(*w, 118);
    EXPECT_EQ(states(*w, popupAndChooser, &Control::enabled), (std::vector<bool>{true, false}));

    struct Case {
        int source;
        bool tempo;
        const char* tip;
    };
    const Case cases[] = {
        {119, true, "Process the tracks of the chosen source."},
        {118, true, "Choose a playlist first."},
        {119, false, "Switch on the tempo, the start and stop times or the volume first: there is nothing else to do."},
        {118, false, "Choose a playlist first."},
    };
    press(*w, 130);
    for (const Case& c : cases) {
        press(*w, c.source);
        w->control(105).setvalue(c.tempo);
        w->sendcommand(fourcc("Updt"));
        EXPECT_EQ(w->control(115).tooltip(), c.tip) << c.source << " " << c.tempo;
        EXPECT_EQ(w->control(115).enabled(), c.source == 119 && c.tempo);
    }
}

// The chooser opens as a sheet at the path; the folder picked becomes the
// source.
TEST_F(MainWindowTest, FolderChooserOpensAtThePathAsASheet)
{
    auto w = openmain();
    press(*w, 119);
    press(*w, 103);
    ASSERT_NE(w->dialog(), nullptr);
    EXPECT_EQ(w->dialog()->directory().absolutePath().toStdString(), musicfolder());
    fs::create_directories(home / "Chosen");
    choosein(w->dialog(), home / "Chosen");
    EXPECT_EQ(std::string(w->folder()), (home / "Chosen").string());
    EXPECT_EQ(w->control(104).gettext(), (home / "Chosen").string());
    EXPECT_EQ(w->currentsource(), 3);
}

// Names are listed as stored; one too long for the field is not taken; the
// one chosen is saved as shown and selected again on the next start.
TEST_F(MainWindowTest, PlaylistPopupListsNamesAsStored)
{
    const std::string fits(79, 'a');
    const std::string tooLong = std::string(76, 'b') + "\xc3\xa9\xc3\xa9"; // 78 characters, 80 bytes of UTF-8
    writelibrary({named("Library"), named("Rock &amp; Roll"), named("Chill"), named(fits), named(tooLong)});
    auto w = openmain();
    press(*w, 118);
    EXPECT_EQ(popupitems(*w),
              offered({"Library (1)", "Rock &amp; Roll (1)", "Chill (1)", fits + " (1)", tooLong + " (1)"}));
    EXPECT_EQ(w->control(141).popupselected(), 0);
    choose(*w, 4);
    EXPECT_STREQ(w->playlistname(), "Rock &amp; Roll");
    EXPECT_TRUE(w->control(115).enabled());
    EXPECT_EQ(w->batchsettings().playlist, "Rock &amp; Roll");
    choose(*w, 0);
    EXPECT_STREQ(w->playlistname(), "");
    EXPECT_FALSE(w->control(115).enabled());
    choose(*w, 6);
    EXPECT_EQ(std::string(w->playlistname()), fits);
    choose(*w, 7);
    EXPECT_STREQ(w->playlistname(), "");
    EXPECT_EQ(w->batchsettings().playlist, "");
    choose(*w, 4);
    w.reset();

    auto again = openmain();
    EXPECT_EQ(again->currentsource(), 2);
    EXPECT_EQ(again->control(141).popupselected(), 4);
    EXPECT_TRUE(again->control(115).enabled());
}

// Refreshing finds new playlists and the saved one at its new place; a
// playlist gone or an entry that cannot be read (and those after it) leave
// what can still be chosen.
TEST_F(MainWindowTest, RefreshFindsChangesAndAVanishedPlaylist)
{
    writelibrary({named("Library"), named("Party")});
    auto w = openmain();
    press(*w, 118);
    choose(*w, 4);
    EXPECT_STREQ(w->playlistname(), "Party");

    writelibrary({named("Library"), named("Dinner"), named("Party")});
    choose(*w, 1); // "Refresh this list"
    EXPECT_EQ(popupitems(*w).size(), 6u);
    EXPECT_EQ(w->control(141).popupselected(), 5); // the saved one, at its new place

    writelibrary({named("Library"), named("Dinner"), "<dict>" + integer("Playlist ID", 7) + "</dict>", named("Lost")});
    choose(*w, 1);
    EXPECT_EQ(popupitems(*w), offered({"Library (1)", "Dinner (1)"}));
    EXPECT_EQ(w->control(141).popupselected(), 0);
    EXPECT_FALSE(w->control(115).enabled());
}

// On the closed pop-up the keys move among the playlists; passing
// "Refresh this list" no longer re-reads the library and throws the choice
// back. Return presses Start unless a button has the focus.
TEST_F(MainWindowTest, KeyboardReachesPlaylistsAndStart)
{
    writelibrary({named("Library"), named("Party"), named("Chill")});
    auto w = openmain();
    press(*w, 118);
    auto* popup = qobject_cast<QComboBox*>(w->findcontrol(141));
    struct Step {
        Qt::Key key;
        int index;
        const char* playlist;
    };
    const Step steps[] = {{Qt::Key_Down, 3, "Library"}, {Qt::Key_Down, 4, "Party"}, {Qt::Key_Up, 3, "Library"},
                          {Qt::Key_Up, 0, ""},          {Qt::Key_Up, 0, ""},        {Qt::Key_End, 5, "Chill"},
                          {Qt::Key_Down, 5, "Chill"},   {Qt::Key_Home, 0, ""},      {Qt::Key_C, 5, "Chill"}};
    for (const Step& s : steps) {
        QTest::keyClick(popup, s.key);
        EXPECT_EQ(popup->currentIndex(), s.index) << s.key;
        EXPECT_STREQ(w->playlistname(), s.playlist) << s.key;
    }
    EXPECT_EQ(popupitems(*w).size(), 6u);

    fs::create_directories(home / "Empty");
    press(*w, 119);
    w->folderchosen((home / "Empty").c_str());
    QTest::keyClick(w->findcontrol(105), Qt::Key_Return); // a checkbox: Start
    EXPECT_TRUE(w->processingwindow().iscreated());
    ASSERT_TRUE(waitfor([&] { return !w->processingwindow().running(); }));
    w->processingwindow().sendcommand(fourcc("clos"));
    ASSERT_TRUE(waitfor([&] { return !w->processingwindow().iscreated(); }));
    auto* genres = w->platformwindow()->findChild<QPushButton*>("optionsButton");
    QTest::keyClick(genres, Qt::Key_Return); // a button: that button, no batch
    EXPECT_TRUE(w->optionswindow().iscreated());
    EXPECT_FALSE(w->processingwindow().iscreated());
}

// The library's location mappings are edited beside the library file and
// kept; a row that cannot be used is refused with the reason.
TEST_F(MainWindowTest, LocationMappingsAreEditedAndKept)
{
    auto w = openmain();
    press(*w, 145);
    LocationMapDialog* d = w->locationmapdialog();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->windowModality(), Qt::WindowModal);
    d->addrow("C:\\Users\\anna\\Music", "/mnt/music");
    d->addrow("music", "not/absolute");
    d->accept();
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->troubletext().toStdString(), "Row 2 cannot be used: the folder is not an absolute path.");
    d->table()->removeRow(1);
    d->addrow("", ""); // added and left empty
    d->accept();
    const std::vector<std::string> expected = {"C:\\Users\\anna\\Music=/mnt/music"};
    EXPECT_EQ(w->batchsettings().locationMaps, expected);
    w.reset();
    w = openmain();
    EXPECT_EQ(w->locationmaps(), expected);
}

TEST_F(MainWindowTest, InterruptedUpdatesAreListedAndForgottenOnlyAfterAsking)
{
    // An update stopped for good, its track then moved away: the journal waits.
    const fs::path track = home / "Music/away.mp3";
    testsupport::writebytes(track.string(), std::vector<uint8_t>(1000, 7));
    const std::string real = fs::canonical(track).string();
    {
        int fd = ::open(track.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        ovra::WriteJournal journal;
        journal.begin(real, st, fd, st.st_size, {{0, 100, 0}},
                      [](int64_t, void* buffer, size_t n) { std::memset(buffer, 1, n); });
        ::close(fd);
    }
    fs::remove(track);

    auto w = openmain();
    QAction* action = nullptr; // the menu's command that lists them
    for (QAction* a : w->platformwindow()->findChildren<QAction*>())
        action = a->property("command").toString() == "Jrnl" ? a : action;
    ASSERT_NE(action, nullptr);
    action->trigger();
    PendingJournalsDialog* d = w->journalsdialog();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->list()->count(), 1);
    EXPECT_TRUE(d->list()->item(0)->text().startsWith(QString::fromStdString(real)));
    EXPECT_TRUE(d->list()->item(0)->text().contains("waiting for the track"));
    d->list()->setCurrentRow(0);
    QString asked;
    d->forgetselected([&](const QString& question) {
        asked = question;
        return false;
    });
    EXPECT_TRUE(asked.contains("original bytes it keeps are lost"));
    EXPECT_EQ(d->list()->count(), 1) << "nothing is forgotten without a yes";
    d->list()->setCurrentRow(0);
    d->forgetselected([](const QString&) { return true; });
    EXPECT_EQ(d->list()->count(), 0);
    EXPECT_TRUE(ovra::pendingjournals().empty());
    EXPECT_TRUE(contains(readfile(logfile()), "Forgot the journal of " + real + " at the user's request"));
}

// The desktop entry hands over what was dropped on it (Exec=tempix %F).
TEST_F(MainWindowTest, AFolderFromTheCommandLineBecomesTheChosenSource)
{
    fs::create_directories(home / "Albums/Live");
    fs::create_directories(home / "Other");
    std::ofstream(home / "track.mp3") << "not audio";
    fs::create_symlink(home / "Albums", home / "linked");
    auto w = openmain();
    ASSERT_NE(w->currentsource(), 3);
    std::vector<std::string> given{(home / "track.mp3").string(), (home / "missing").string(),
                                   (home / "linked/Live").string(), (home / "Other").string()};
    std::vector<std::string> refused = w->takepaths(given);
    EXPECT_EQ(refused, (std::vector<std::string>{given[0], given[1], given[3]}));
    EXPECT_EQ(w->currentsource(), 3);
    EXPECT_TRUE(w->control(119).getvalue());
    EXPECT_EQ(std::string(w->folder()), fs::canonical(home / "Albums/Live").string()); // links resolved

    // Nothing usable: the saved source stays.
    auto again = openmain();
    int before = again->currentsource();
    std::string folder = again->folder();
    EXPECT_EQ(again->takepaths({(home / "track.mp3").string()}).size(), 1u);
    EXPECT_EQ(again->currentsource(), before);
    EXPECT_EQ(std::string(again->folder()), folder);
}

// A playlist file is a source beside the chosen folder: picked in a sheet,
// shown, kept and taken from the command line (the batch it makes is run by
// ProgressSheetTest).
TEST_F(MainWindowTest, APlaylistFileIsASourceOfItsOwn)
{
    fs::create_directories(home / "Lists");
    const fs::path list = home / "Lists/Friday mix.m3u8";
    std::ofstream(list) << "#EXTM3U\n../track.mp3\n";
    {
        auto w = openmain();
        EXPECT_FALSE(w->control(121).enabled());
        press(*w, 120);
        EXPECT_EQ(w->currentsource(), 4);
        EXPECT_EQ(states(*w, {121, 103, 115}, &Control::enabled), (std::vector<bool>{true, false, false}));
        EXPECT_EQ(w->control(115).tooltip(), "Choose a playlist file first.");

        press(*w, 121);
        choosein(w->playlistfiledialog(), list);
        EXPECT_EQ(w->playlistfile(), list.string());
        EXPECT_EQ(w->control(104).gettext(), list.string());
        EXPECT_TRUE(w->control(115).enabled());
    }
    auto w = openmain();
    EXPECT_EQ(w->currentsource(), 4);
    EXPECT_EQ(w->playlistfile(), list.string());

    // From the command line (the desktop entry's %F), links resolved.
    const fs::path other = home / "other.PLS";
    std::ofstream(other) << "[playlist]\nFile1=track.mp3\n";
    fs::create_symlink(other, home / "linked.pls");
    press(*w, 119);
    EXPECT_TRUE(w->takepaths({(home / "linked.pls").string(), (home / "Lists").string()}) ==
                std::vector<std::string>{(home / "Lists").string()});
    EXPECT_EQ(w->currentsource(), 4);
    EXPECT_EQ(w->playlistfile(), fs::canonical(other).string());
}
