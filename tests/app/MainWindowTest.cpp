#include "DesktopFixture.h"
#include "platform/settings/PreferenceStore.h"
#include "tags/WriteJournal.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QTableWidget>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QDialog>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ovra;
using namespace ovra::tempix;

namespace {

const char* const DEFAULT_BAD = "Podcast, Speech, Books & Spoken,\nClassical, Opera, Chamber Music, Sonata, Symphony";

int checkboxes[] = {105, 106, 107, 132, 111, 130, 131, 112, 113};

std::vector<bool> checkstates(MainWindow& w)
{
    std::vector<bool> v;
    for (int id : checkboxes)
        v.push_back(w.control(id).getvalue());
    return v;
}

void click(MainWindow& w, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(w.findcontrol(id));
    ASSERT_NE(b, nullptr);
    b->click(); // as the user: toggles and sends the button's command
}

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

class MainWindowTest : public DesktopTest {
protected:
    // A playlist with one track: an empty one is not offered.
    static std::string named(const std::string& name, int tracks = 1)
    {
        std::string items = "\t\t\t<key>Playlist Items</key><array>";
        for (int i = 0; i < tracks; ++i)
            items += "<dict><key>Track ID</key><integer>" + std::to_string(100 + i) + "</integer></dict>";
        return DesktopTest::named(name) + items + "</array>\n";
    }
};

} // namespace

TEST_F(MainWindowTest, FirstRunShowsEveryDefault)
{
    auto w = openmain();
    EXPECT_EQ(w->currentsource(), 0);
    EXPECT_EQ(std::string(w->folder()), musicfolder());
    EXPECT_STREQ(w->playlistname(), "");
    EXPECT_TRUE(w->control(116).getvalue());
    EXPECT_EQ(w->control(104).gettext(), musicfolder());
    // No library file: nothing to send results to; the choice comes back with one.
    EXPECT_EQ(checkstates(*w), (std::vector<bool>{true, false, false, false, false, false, false, false, false}));
    EXPECT_FALSE(w->control(112).enabled());
    EXPECT_FALSE(w->batchoptions().exportToLibrary);
    writelibrary({named("Library")});
    w->librarychosen(defaultlibrary().c_str());
    EXPECT_TRUE(w->control(112).enabled());
    EXPECT_TRUE(w->control(112).getvalue());
    EXPECT_EQ(w->optionswindow().genrepolicy, 1);
    EXPECT_STREQ(w->optionswindow().badgenres, DEFAULT_BAD);
    EXPECT_STREQ(w->optionswindow().goodgenres, "");
    EXPECT_TRUE(w->control(115).enabled());
    EXPECT_FALSE(fs::exists(settingsfile())); // nothing is written before the end
}

TEST_F(MainWindowTest, SettingsSurviveARestart)
{
    fs::create_directories(home / "Albums");
    {
        auto w = openmain();
        click(*w, 119);
        w->folderchosen((home / "Albums").c_str());
        click(*w, 107); // optimise times on
        click(*w, 132);
        click(*w, 130);
        click(*w, 112); // export off
        click(*w, 113);
        w->optionswindow().setgenres(2, "Jazz", "Rock,\nPop");
    } // the window object goes: the settings are saved now
    ASSERT_TRUE(fs::exists(settingsfile()));
    auto w = openmain();
    EXPECT_EQ(w->currentsource(), 3);
    EXPECT_EQ(std::string(w->folder()), (home / "Albums").string());
    EXPECT_TRUE(w->control(119).getvalue());
    EXPECT_EQ(w->control(104).gettext(), (home / "Albums").string());
    EXPECT_EQ(checkstates(*w), (std::vector<bool>{true, false, true, true, false, true, false, false, true}));
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
    EXPECT_TRUE(w->control(105).getvalue());            // wrong type: the default
    EXPECT_TRUE(w->control(130).getvalue());
    EXPECT_FALSE(w->control(112).getvalue()); // no library file to send to
    w.reset();

    writesettings("source=7\npath=/data/tracks\n");
    w = openmain();
    for (int id : {116, 117, 118, 119})
        EXPECT_FALSE(w->control(id).getvalue()) << id;
    EXPECT_STREQ(w->folder(), "/data/tracks");
    EXPECT_EQ(w->batchsettings().path, "/data/tracks");
}

TEST_F(MainWindowTest, ControlStateRules)
{
    writelibrary({named("Library")});
    auto w = openmain();
    // Dependent checkboxes follow their parent.
    EXPECT_TRUE(w->control(106).enabled());
    EXPECT_FALSE(w->control(132).enabled());
    EXPECT_FALSE(w->control(111).enabled());
    EXPECT_FALSE(w->control(131).enabled());
    click(*w, 107);
    EXPECT_TRUE(w->control(132).enabled());
    EXPECT_TRUE(w->control(111).enabled());
    click(*w, 130);
    EXPECT_TRUE(w->control(131).enabled());
    click(*w, 105);
    EXPECT_FALSE(w->control(106).enabled());

    // Start needs tempo, times or volume; export and reprocess do not count.
    click(*w, 107);
    click(*w, 130);
    EXPECT_FALSE(w->control(115).enabled());
    click(*w, 113);
    EXPECT_TRUE(w->control(112).getvalue());
    EXPECT_FALSE(w->control(115).enabled());
    click(*w, 130);
    EXPECT_TRUE(w->control(115).enabled());

    // The pop-up only for a playlist, the chooser only for a chosen folder.
    EXPECT_FALSE(w->control(141).enabled());
    EXPECT_FALSE(w->control(103).enabled());
    click(*w, 117);
    EXPECT_EQ(w->currentsource(), 1);
    EXPECT_EQ(w->control(104).gettext(), "iTunes Music");
    EXPECT_FALSE(w->control(141).enabled());
    click(*w, 119);
    EXPECT_TRUE(w->control(103).enabled());
    EXPECT_EQ(w->control(104).gettext(), musicfolder());
    click(*w, 118);
    EXPECT_TRUE(w->control(141).enabled());
    EXPECT_FALSE(w->control(103).enabled());
    EXPECT_FALSE(w->control(115).enabled()); // no playlist chosen
}

// The chooser opens as a sheet at the path; a chosen folder gives way to the
// Music folder when that source is chosen.
TEST_F(MainWindowTest, FolderChooserOpensAtThePathAsASheet)
{
    auto w = openmain();
    click(*w, 119);
    click(*w, 103);
    QFileDialog* d = w->dialog();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->windowModality(), Qt::WindowModal);
    EXPECT_EQ(d->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(d->directory().absolutePath().toStdString(), musicfolder());
    fs::create_directories(home / "Chosen");
    d->selectFile(QString::fromStdString((home / "Chosen").string()));
    static_cast<QDialog*>(d)->accept();
    EXPECT_EQ(std::string(w->folder()), (home / "Chosen").string());
    EXPECT_EQ(w->control(104).gettext(), (home / "Chosen").string());
    EXPECT_EQ(w->currentsource(), 3);
    ovra::processpendingevents();
    EXPECT_EQ(w->dialog(), nullptr);
    click(*w, 116);
    EXPECT_EQ(std::string(w->folder()), musicfolder());
    click(*w, 119);
    EXPECT_EQ(std::string(w->folder()), musicfolder());
}

TEST_F(MainWindowTest, PlaylistPopupListsNamesAsStored)
{
    writelibrary({named("Library"), named("Rock &amp; Roll"), named("Chill")});
    auto w = openmain();
    click(*w, 118);
    EXPECT_EQ(popupitems(*w),
              (std::vector<std::string>{"Choose...", "Refresh this list", "", "Library (1)", "Rock &amp; Roll (1)",
                                        "Chill (1)"}));
    EXPECT_EQ(w->control(141).popupselected(), 0);
    choose(*w, 4);
    EXPECT_STREQ(w->playlistname(), "Rock &amp; Roll");
    EXPECT_TRUE(w->control(115).enabled());
    EXPECT_EQ(w->batchsettings().playlist, "Rock &amp; Roll");
    choose(*w, 0);
    EXPECT_STREQ(w->playlistname(), "");
    EXPECT_FALSE(w->control(115).enabled());
    choose(*w, 4);
    w.reset();

    // Saved as shown, and selected again on the next start.
    auto again = openmain();
    EXPECT_EQ(again->currentsource(), 2);
    EXPECT_EQ(again->control(141).popupselected(), 4);
    EXPECT_TRUE(again->control(115).enabled());
}

// Refreshing finds new playlists and the saved one at its new place; a
// playlist gone, an entry that cannot be read (and those after it) or the
// whole library gone leave what can still be chosen.
TEST_F(MainWindowTest, RefreshFindsChangesAndAVanishedPlaylist)
{
    writelibrary({named("Library"), named("Party")});
    auto w = openmain();
    click(*w, 118);
    choose(*w, 4);
    EXPECT_STREQ(w->playlistname(), "Party");

    writelibrary({named("Library"), named("Dinner"), named("Party")});
    choose(*w, 1); // "Refresh this list"
    EXPECT_EQ(popupitems(*w).size(), 6u);
    EXPECT_EQ(w->control(141).popupselected(), 5); // the saved one, at its new place

    writelibrary(
        {named("Library"), named("Dinner"), "\t\t\t<key>Playlist ID</key><integer>7</integer>\n", named("Lost")});
    choose(*w, 1);
    EXPECT_EQ(popupitems(*w),
              (std::vector<std::string>{"Choose...", "Refresh this list", "", "Library (1)", "Dinner (1)"}));
    EXPECT_EQ(w->control(141).popupselected(), 0);
    EXPECT_FALSE(w->control(115).enabled());

    fs::remove(defaultlibrary());
    choose(*w, 1);
    EXPECT_EQ(popupitems(*w), (std::vector<std::string>{"Choose...", "Refresh this list", ""}));
    EXPECT_FALSE(w->control(115).enabled());
}

TEST_F(MainWindowTest, PlaylistNameTooLongForTheFieldIsNotStored)
{
    std::string fits(79, 'a');
    std::string tooLong = std::string(76, 'b') + "\xc3\xa9\xc3\xa9"; // 78 characters, 80 bytes of UTF-8
    writelibrary({named(fits), named(tooLong)});
    auto w = openmain();
    click(*w, 118);
    choose(*w, 3);
    EXPECT_EQ(std::string(w->playlistname()), fits);
    choose(*w, 4);
    EXPECT_STREQ(w->playlistname(), "");
    EXPECT_EQ(w->batchsettings().playlist, "");
}

TEST_F(MainWindowTest, MenuBarCommands)
{
    auto w = openmain();
    auto* bar = w->platformwindow()->findChild<QMenuBar*>("MenuBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->isVisibleTo(w->platformwindow()));
    QAction* about = nullptr;
    QAction* start = nullptr;
    QMenu* file = nullptr;
    for (QMenu* m : bar->findChildren<QMenu*>()) {
        for (QAction* a : m->actions()) {
            if (a->property("command").toString() == "abou")
                about = a;
            if (a->property("command").toString() == "Strt") {
                start = a;
                file = m;
            }
        }
    }
    ASSERT_NE(about, nullptr);
    ASSERT_NE(start, nullptr);
    about->trigger();
    QWidget* aboutWindow = w->aboutwindow().platformwindow();
    ASSERT_NE(aboutWindow, nullptr);
    EXPECT_TRUE(aboutWindow->isVisible());
    EXPECT_EQ(w->aboutwindow().control(101).gettext(), "Tempix v1.1.12");
    aboutWindow->close(); // hidden, not gone
    EXPECT_FALSE(aboutWindow->isVisible());
    about->trigger();
    EXPECT_EQ(w->aboutwindow().platformwindow(), aboutWindow); // the same window again
    EXPECT_TRUE(aboutWindow->isVisible());

    // The menu's Start follows the button when the menu opens.
    click(*w, 105); // nothing to do: Start disabled
    emit file->aboutToShow();
    EXPECT_FALSE(start->isEnabled());
    start->trigger(); // a shortcut does not get past it
    EXPECT_FALSE(w->processingwindow().iscreated());
    click(*w, 105);
    emit file->aboutToShow();
    EXPECT_TRUE(start->isEnabled());
}

TEST_F(MainWindowTest, QuitEndsTheEventLoop)
{
    auto w = openmain();
    QTimer::singleShot(0, [&] { w->sendcommand(fourcc("clos")); });
    QTimer guard; // ends a loop that would not, without measuring anything
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(20000);
    EXPECT_EQ(runapplicationloop(), 0);
    EXPECT_TRUE(w->platformwindow()->isVisible()); // closing is the program's end, not the window's
}

// No library file: the window says so where the sources are chosen, the
// library sources wait for one, and the one chosen is kept.
TEST_F(MainWindowTest, LibraryFileIsShownAndChosen)
{
    auto w = openmain();
    EXPECT_FALSE(w->control(117).enabled());
    EXPECT_FALSE(w->control(118).enabled());
    EXPECT_TRUE(w->control(143).visible());
    EXPECT_EQ(w->control(142).gettext(), "None found");
    EXPECT_EQ(w->control(143).gettext(),
              "No library file was found in " + musicfolder() + "/iTunes or in " + (home / "Documents").string() +
                  "/iTunes. Choose the library file to process the whole library or a playlist.");

    fs::path chosen = home / "Elsewhere/My Library.xml";
    writelibrary({named("Library"), named("Gym")}, chosen);
    click(*w, 144);
    QFileDialog* d = w->librarydialog();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->windowModality(), Qt::WindowModal);
    d->selectFile(QString::fromStdString(chosen.string()));
    static_cast<QDialog*>(d)->accept();
    EXPECT_EQ(w->control(142).gettext(), chosen.string());
    EXPECT_FALSE(w->control(143).visible());
    EXPECT_TRUE(w->control(117).enabled());
    click(*w, 118);
    EXPECT_EQ(popupitems(*w),
              (std::vector<std::string>{"Choose...", "Refresh this list", "", "Library (1)", "Gym (1)"}));
    EXPECT_EQ(w->batchsettings().libraryFile, chosen.string());
    w.reset();
    EXPECT_NE(readfile(settingsfile()).find("libraryfile=" + chosen.string()), std::string::npos);

    // Kept; a file that is no library, or is gone, is said to be so.
    w = openmain();
    EXPECT_EQ(w->control(142).gettext(), chosen.string());
    fs::path bad = home / "notes.xml";
    std::ofstream(bad) << "shopping list";
    w->librarychosen(bad.c_str());
    EXPECT_NE(w->control(143).gettext().find("The library file " + bad.string() + " is damaged"), std::string::npos)
        << w->control(143).gettext();
    EXPECT_EQ(popupitems(*w).size(), 3u);
    w->librarychosen((home / "gone.xml").c_str());
    EXPECT_FALSE(w->control(118).enabled());
    EXPECT_FALSE(w->control(115).enabled());
    EXPECT_EQ(w->control(115).tooltip().rfind("Choose a library file first", 0), 0u);
}

// The disabled Start says what stands in its way.
TEST_F(MainWindowTest, StartTooltipNamesTheCause)
{
    writelibrary({named("Library")});
    auto w = openmain();
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
    for (const Case& c : cases) {
        click(*w, c.source);
        w->control(105).setvalue(c.tempo);
        w->sendcommand(fourcc("Updt"));
        EXPECT_EQ(w->control(115).tooltip(), c.tip) << c.source << " " << c.tempo;
        EXPECT_EQ(w->control(115).enabled(), c.source == 119 && c.tempo);
    }
}

// On the closed pop-up the keys move among the playlists; passing
// "Refresh this list" no longer re-reads the library and throws the choice
// back. Return presses Start unless a button has the focus.
TEST_F(MainWindowTest, KeyboardReachesPlaylistsAndStart)
{
    writelibrary({named("Library"), named("Party"), named("Chill")});
    auto w = openmain();
    click(*w, 118);
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
    click(*w, 119);
    w->folderchosen((home / "Empty").c_str());
    QTest::keyClick(w->findcontrol(105), Qt::Key_Return); // a checkbox: Start
    EXPECT_TRUE(w->processingwindow().iscreated());
    ASSERT_TRUE(waitfor([&] { return !w->processingwindow().running(); }));
    w->processingwindow().sendcommand(fourcc("clos"));
    ASSERT_TRUE(waitfor([&] { return !w->processingwindow().iscreated(); }));
    auto* genres = w->platformwindow()->findChild<QPushButton*>("optionsButton");
    QTest::keyClick(genres, Qt::Key_Return); // a button: that button
    EXPECT_TRUE(w->optionswindow().iscreated());
    EXPECT_FALSE(w->processingwindow().iscreated());
}

// A long path is cut in its middle with an ellipsis; the whole path is in
// the tooltip and is what the window keeps.
TEST_F(MainWindowTest, LongPathsAreElidedInTheMiddle)
{
    fs::path deep = home / std::string(90, 'a') / std::string(90, 'b') / "The Last Folder";
    fs::create_directories(deep);
    auto w = openmain();
    click(*w, 119);
    w->folderchosen(deep.c_str());
    ovra::processpendingevents();
    auto* label = qobject_cast<QLabel*>(w->findcontrol(104));
    const QString shown = label->text();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("The Last Folder")) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QString::fromStdString(home.string().substr(0, 5)))) << shown.toStdString();
    EXPECT_EQ(label->toolTip().toStdString(), deep.string());
    EXPECT_EQ(w->control(104).gettext(), deep.string());
    w->platformwindow()->resize(4000, w->platformwindow()->height());
    ovra::processpendingevents();
    EXPECT_EQ(label->text().toStdString(), deep.string());
    EXPECT_EQ(label->toolTip().toStdString(), "Where the tracks of the chosen source are.");
}

// The library's location mappings are edited beside the library file and
// kept; a row that cannot be used is refused with the reason.
TEST_F(MainWindowTest, LocationMappingsAreEditedAndKept)
{
    auto w = openmain();
    click(*w, 145);
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
    QAction* action = nullptr;
    for (QAction* a : w->platformwindow()->findChildren<QAction*>())
        if (a->property("command").toString() == "Jrnl")
            action = a;
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
    EXPECT_NE(testsupport::readfile((home / ".local/state/tempix/Tempix.log").string())
                  .find("Forgot the journal of " + real + " at the user's request"),
              std::string::npos);
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
    EXPECT_EQ(w->batchsettings().path, fs::canonical(home / "Albums/Live").string());

    // Nothing usable: the saved source stays.
    auto again = openmain();
    int before = again->currentsource();
    std::string folder = again->folder();
    EXPECT_EQ(again->takepaths({(home / "track.mp3").string()}).size(), 1u);
    EXPECT_EQ(again->currentsource(), before);
    EXPECT_EQ(std::string(again->folder()), folder);
}

TEST_F(MainWindowTest, TheReplayGainBoxIsOffAtFirstAndKeptAsASetting)
{
    {
        auto w = openmain();
        EXPECT_FALSE(w->control(147).getvalue());
        EXPECT_EQ(w->batchoptions().replaygain, ReplayGainMode::off) << "a described run stays as it was";
        click(*w, 147);
        EXPECT_EQ(w->batchoptions().replaygain, ReplayGainMode::track);
    }
    auto w = openmain();
    EXPECT_TRUE(w->control(147).getvalue());
    EXPECT_EQ(w->batchoptions().replaygain, ReplayGainMode::track);
    EXPECT_NE(testsupport::readfile(settingsfile()).find("replaygain=1"), std::string::npos);
}

// A playlist file is a source beside the chosen folder: picked in a sheet,
// shown, kept, handed to the batch, and taken from the command line.
TEST_F(MainWindowTest, APlaylistFileIsASourceOfItsOwn)
{
    fs::create_directories(home / "Lists");
    const fs::path list = home / "Lists/Friday mix.m3u8";
    std::ofstream(list) << "#EXTM3U\n../track.mp3\n";
    {
        auto w = openmain();
        EXPECT_FALSE(w->control(121).enabled());
        click(*w, 120);
        EXPECT_EQ(w->currentsource(), 4);
        EXPECT_TRUE(w->control(120).getvalue());
        EXPECT_FALSE(w->control(119).getvalue());
        EXPECT_TRUE(w->control(121).enabled());
        EXPECT_FALSE(w->control(103).enabled());
        EXPECT_FALSE(w->control(115).enabled());
        EXPECT_EQ(w->control(115).tooltip(), "Choose a playlist file first.");

        click(*w, 121);
        QFileDialog* d = w->playlistfiledialog();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->windowModality(), Qt::WindowModal);
        EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
        EXPECT_TRUE(d->nameFilters().front().contains("*.m3u8"));
        d->selectFile(QString::fromStdString(list.string()));
        static_cast<QDialog*>(d)->accept();
        EXPECT_EQ(w->playlistfile(), list.string());
        EXPECT_EQ(w->control(104).gettext(), list.string());
        EXPECT_TRUE(w->control(115).enabled());
        BatchSettings s = w->batchsettings();
        EXPECT_EQ(s.source, SOURCE_PLAYLIST_FILE);
        EXPECT_EQ(s.playlistFile, list.string());

        // The folder source keeps its own path; back again, the list is there.
        click(*w, 119);
        EXPECT_EQ(w->control(104).gettext(), musicfolder());
        click(*w, 120);
        EXPECT_EQ(w->control(104).gettext(), list.string());
    }
    EXPECT_NE(readfile(settingsfile()).find("playlistfile="), std::string::npos);
    auto w = openmain();
    EXPECT_EQ(w->currentsource(), 4);
    EXPECT_TRUE(w->control(120).getvalue());
    EXPECT_EQ(w->playlistfile(), list.string());
    EXPECT_EQ(w->control(104).gettext(), list.string());

    // From the command line (the desktop entry's %F), links resolved.
    const fs::path other = home / "other.PLS";
    std::ofstream(other) << "[playlist]\nFile1=track.mp3\n";
    fs::create_symlink(other, home / "linked.pls");
    click(*w, 119);
    EXPECT_TRUE(w->takepaths({(home / "linked.pls").string(), (home / "Lists").string()}) ==
                std::vector<std::string>{(home / "Lists").string()});
    EXPECT_EQ(w->currentsource(), 4);
    EXPECT_EQ(w->playlistfile(), fs::canonical(other).string());
}
