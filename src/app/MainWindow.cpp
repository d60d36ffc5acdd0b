#include "app/MainWindow.h"
#include "app/LibraryMessages.h"
#include "app/SavedSettings.h"
#include "platform/Ptr_auto.h"
#include "batch/PlaylistFile.h"
#include "plist/LibraryLocation.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"
#include "platform/window/EventLoop.h"
#include "platform/window/ThemeColours.h"
#include "plist/PListNode.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QWheelEvent>

#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {
enum : int {
    RADIO_MUSIC_FOLDER = 116,
    RADIO_LIBRARY = 117,
    RADIO_PLAYLIST = 118,
    RADIO_FOLDER = 119,
    RADIO_PLAYLIST_FILE = 120,
    CHOOSE_PLAYLIST_FILE = 121,
    PLAYLIST_POPUP = 141,
    CHOOSE_BUTTON = 103,
    FOLDER_TEXT = 104,
    CHECK_DETECTBPM = 105,
    CHECK_OVERWRITEBPM = 106,
    CHECK_OPTIMIZETIMES = 107,
    CHECK_LESSINTRO = 132,
    CHECK_OVERWRITETIMES = 111,
    CHECK_ADJUSTVOLUME = 130,
    CHECK_OVERWRITEVOLUME = 131,
    CHECK_EXPORT = 112,
    CHECK_REPROCESS = 113,
    START_BUTTON = 115,
    LIBRARY_TEXT = 142,
    LIBRARY_PROBLEM = 143,
    CHECK_DRYRUN = 146,
    CHECK_REPLAYGAIN = 147,
    PREVIEW_BUTTON = 148,
};
const char* const GEOMETRY_KEY = "windowgeometry";

// Pop-up items before the playlists.
constexpr int ITEM_CHOOSE = 0;
constexpr int ITEM_REFRESH = 1;
constexpr int FIRST_PLAYLIST_ITEM = 3;

// On the closed playlist pop-up the arrow keys, the wheel and typed letters
// move among "Choose..." and the playlists only: passing over "Refresh this
// list" must not re-read the library and throw the choice back. The item
// stays a click away in the open list.
class PlaylistKeys : public QObject {
public:
    explicit PlaylistKeys(QComboBox* popup) : QObject(popup), combo(popup) {}

    bool eventFilter(QObject* /*watched*/, QEvent* e) override
    {
        if (e->type() == QEvent::Wheel) {
            const int dy = static_cast<QWheelEvent*>(e)->angleDelta().y();
            return dy == 0 || moveto(step(dy > 0 ? -1 : 1));
        }
        if (e->type() != QEvent::KeyPress)
            return false;
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier))
            return false; // Alt+Down opens the list
        switch (k->key()) {
        case Qt::Key_Up:
            return moveto(step(-1));
        case Qt::Key_Down:
            return moveto(step(1));
        case Qt::Key_Home:
        case Qt::Key_PageUp:
            return moveto(ITEM_CHOOSE);
        case Qt::Key_End:
        case Qt::Key_PageDown:
            return moveto(combo->count() > FIRST_PLAYLIST_ITEM ? combo->count() - 1 : ITEM_CHOOSE);
        default:
            break;
        }
        const QString typed = k->text();
        if (typed.size() == 1 && typed.at(0).isPrint() && !typed.at(0).isSpace())
            return moveto(search(typed));
        return false;
    }

private:
    static bool stop(int index) { return index == ITEM_CHOOSE || index >= FIRST_PLAYLIST_ITEM; }

    int step(int direction) const
    {
        for (int i = combo->currentIndex() + direction; i >= 0 && i < combo->count(); i += direction)
            if (stop(i))
                return i;
        return combo->currentIndex();
    }

    // The next playlist after the current one whose name begins with the letter.
    int search(const QString& letter) const
    {
        const int n = combo->count();
        for (int k = 1; k <= n; ++k) {
            const int i = (combo->currentIndex() + k + n) % n;
            if (i >= FIRST_PLAYLIST_ITEM && combo->itemText(i).startsWith(letter, Qt::CaseInsensitive))
                return i;
        }
        return combo->currentIndex();
    }

    bool moveto(int index)
    {
        if (index >= 0 && index != combo->currentIndex()) {
            combo->setCurrentIndex(index);
            emit combo->activated(index);
        }
        return true;
    }

    QComboBox* combo;
};
} // namespace

MainWindow::MainWindow() : progress(*this), preferences(PREFERENCE_DOMAIN, false)
{
    path[0] = '\0';
    playlist[0] = '\0';
    libraryfile[0] = '\0';
}

MainWindow::~MainWindow() { save(); }

bool MainWindow::windowcreated()
{
    BatchSettings settings;
    BatchOptions flags;
    loadSettings(preferences, settings, flags);
    source = settings.source;
    jobs = settings.jobs;
    ovra::strcpy_max(path, sizeof path, settings.path.c_str());
    ovra::strcpy_max(playlist, sizeof playlist, settings.playlist.c_str());
    playlistFile = settings.playlistFile;
    if (settings.libraryFile.size() < sizeof libraryfile)
        ovra::strcpy_max(libraryfile, sizeof libraryfile, settings.libraryFile.c_str());
    locationMaps = settings.locationMaps;
    locatelibrary();
    seterrortext(findcontrol(LIBRARY_PROBLEM));
    if (auto* popup = qobject_cast<QComboBox*>(findcontrol(PLAYLIST_POPUP)))
        popup->installEventFilter(new PlaylistKeys(popup));
    // The fixed items show even before the library is read for a playlist.
    control(PLAYLIST_POPUP).popupclear();
    control(PLAYLIST_POPUP).popupappend("Choose...");
    control(PLAYLIST_POPUP).popupappend("Refresh this list");
    control(PLAYLIST_POPUP).popupappendseparator();
    control(PLAYLIST_POPUP).popupselect(ITEM_CHOOSE);
    setsource(source);
    control(CHECK_DETECTBPM).setvalue(flags.detectbpm);
    control(CHECK_OVERWRITEBPM).setvalue(flags.overwritebpm);
    control(CHECK_OPTIMIZETIMES).setvalue(flags.optimizetimes);
    control(CHECK_LESSINTRO).setvalue(flags.lessintro);
    control(CHECK_OVERWRITETIMES).setvalue(flags.overwritetimes);
    control(CHECK_ADJUSTVOLUME).setvalue(flags.adjustvolume);
    control(CHECK_OVERWRITEVOLUME).setvalue(flags.overwritevolume);
    control(CHECK_EXPORT).setvalue(flags.exportToLibrary);
    exportWanted = flags.exportToLibrary;
    control(CHECK_REPROCESS).setvalue(flags.reprocess);
    control(CHECK_REPLAYGAIN).setvalue(flags.replaygain != ReplayGainMode::off);
    storedReplayGain = flags.replaygain;
    options.setgenres(settings.genrepolicy, settings.badgenres.c_str(), settings.goodgenres.c_str());
    try {
        ovra::Ptr_auto<char> geometry;
        preferences.getData(GEOMETRY_KEY, geometry);
        platformwindow()->restoreGeometry(QByteArray(geometry.get(), int(geometry.size())));
    } catch (int) {
        // None kept: the default size, placed by the desktop.
    }
    recomputestates();
    return true;
}

// Nothing was loaded when the window never came up: keep what is stored.
void MainWindow::save()
{
    if (!iscreated())
        return;
    try {
        if (progress.iscreated())
            progress.savelayout();
        BatchOptions kept = batchoptions();
        kept.exportToLibrary = exportWanted;
        saveSettings(preferences, batchsettings(), kept);
        const QByteArray geometry = platformwindow()->saveGeometry();
        preferences.setData(GEOMETRY_KEY, geometry.constData(), size_t(geometry.size()));
        preferences.synchronize();
    } catch (...) {
        // A failed save is silent; the store syncs once more when it goes.
    }
}

BatchOptions MainWindow::batchoptions()
{
    BatchOptions o;
    o.detectbpm = control(CHECK_DETECTBPM).getvalue();
    o.overwritebpm = control(CHECK_OVERWRITEBPM).getvalue();
    o.optimizetimes = control(CHECK_OPTIMIZETIMES).getvalue();
    o.lessintro = control(CHECK_LESSINTRO).getvalue();
    o.overwritetimes = control(CHECK_OVERWRITETIMES).getvalue();
    o.adjustvolume = control(CHECK_ADJUSTVOLUME).getvalue();
    o.overwritevolume = control(CHECK_OVERWRITEVOLUME).getvalue();
    o.exportToLibrary = control(CHECK_EXPORT).getvalue() && libraryMissing.empty();
    o.reprocess = control(CHECK_REPROCESS).getvalue();
    o.dryRun = control(CHECK_DRYRUN).getvalue(); // not kept: each start chooses it anew
    // The box writes the track's values; the album's where the settings ask for them.
    if (control(CHECK_REPLAYGAIN).getvalue())
        o.replaygain = storedReplayGain == ReplayGainMode::album ? ReplayGainMode::album : ReplayGainMode::track;
    return o;
}

BatchSettings MainWindow::batchsettings() const
{
    BatchSettings s;
    s.source = source;
    s.path = path;
    s.playlist = playlist;
    s.playlistFile = playlistFile;
    s.genrepolicy = GenrePolicy(options.genrepolicy);
    s.badgenres = options.badgenres;
    s.goodgenres = options.goodgenres;
    s.libraryFile = libraryfile;
    s.jobs = jobs;
    s.locationMaps = locationMaps;
    return s;
}

std::string MainWindow::librarytroubletext() const
{
    return libraryMissing.empty() ? libraryUnreadable : libraryMissing;
}

// The library file in use, and whether it is there at all.
void MainWindow::locatelibrary()
{
    char found[ovra::PATH_BUFFER];
    if (libraryfile[0] != '\0')
        ovra::strcpy_max(found, sizeof found, libraryfile);
    else
        findLibraryFile(found);
    libraryPath = found;
    libraryMissing = libraryaccesstrouble(libraryPath);
    if (libraryMissing.empty())
        return;
    struct stat st;
    if (libraryfile[0] == '\0' && stat(found, &st) != 0) {
        // The lookup ends in the two usual places; name both.
        char music[ovra::PATH_BUFFER], documents[ovra::PATH_BUFFER];
        ovra::homemusicfolder(music);
        ovra::homedocumentsfolder(documents);
        libraryMissing =
            std::string("No library file was found in ") + music + "/iTunes or in " + documents + "/iTunes.";
    }
    libraryMissing += " Choose the library file to process the whole library or a playlist.";
}

void MainWindow::setsource(int value)
{
    source = value;
    if (value == SOURCE_PLAYLIST)
        rebuildplaylistpopup();
    else if (value == SOURCE_MUSIC_FOLDER)
        ovra::homemusicfolder(path);
    recomputestates();
}

// Lists the library's playlists under their names as written in the file
// and selects the saved one. What made the library unreadable is shown
// under the library file; the items read so far stay.
void MainWindow::rebuildplaylistpopup()
{
    ovra::Control popup = control(PLAYLIST_POPUP);
    popup.popupclear();
    popup.popupappend("Choose...");
    popup.popupappend("Refresh this list");
    popup.popupappendseparator();

    locatelibrary();
    libraryUnreadable.clear();
    std::unique_ptr<ovra::PListNode> root;
    try {
        if (libraryPath.size() >= ovra::PATH_BUFFER - 1)
            throw ovra::PLIST_ERR_OPEN;
        root = ovra::readPListFile(libraryPath.c_str());
    } catch (int code) {
        if (libraryMissing.empty())
            libraryUnreadable = librarytrouble(code, libraryPath);
        popup.popupselect(ITEM_CHOOSE);
        return;
    }
    int selected = ITEM_CHOOSE;
    ovra::PListArray* playlists = nullptr;
    try {
        ovra::PListDict* dict = root ? root->asDict() : nullptr;
        playlists = dict ? dict->get("Playlists")->asArray() : nullptr;
    } catch (int code) {
        libraryUnreadable = librarytrouble(code, libraryPath);
    }
    auto* combo = qobject_cast<QComboBox*>(findcontrol(PLAYLIST_POPUP));
    try {
        int count = playlists ? playlists->count() : 0;
        for (int i = 0; i < count; ++i) {
            ovra::PListDict* entry = playlists->at(i)->asDict();
            ovra::PListString* name = entry ? entry->get("Name")->asString() : nullptr;
            if (!name)
                break;
            // A playlist without tracks gives nothing to process: not listed.
            int tracks = 0;
            if (entry->contains("Playlist Items")) {
                try {
                    tracks = entry->get("Playlist Items")->asArray()->count();
                } catch (int) {
                    tracks = -1; // unreadable: listed, and the batch says why
                }
            }
            if (tracks == 0)
                continue;
            const char* text = name->text() ? name->text() : "";
            // The item shows the count; its data is the name as stored.
            const QString shown =
                tracks > 0 ? QString("%1 (%2)").arg(QString::fromUtf8(text)).arg(tracks) : QString::fromUtf8(text);
            popup.popupappend(shown.toUtf8().constData());
            if (combo)
                combo->setItemData(combo->count() - 1, QString::fromUtf8(text));
            if (std::strcmp(text, playlist) == 0)
                selected = combo ? combo->count() - 1 : i + FIRST_PLAYLIST_ITEM;
        }
    } catch (int) {
        // A playlist that cannot be read ends the list there.
    }
    popup.popupselect(selected);
}

void MainWindow::recomputestates()
{
    // While the progress sheet is up the window waits; only quitting,
    // the about window and the web page stay at hand.
    const bool busy = progress.iscreated();
    if (auto* w = qobject_cast<QMainWindow*>(platformwindow()))
        w->centralWidget()->setEnabled(!busy);

    control(RADIO_MUSIC_FOLDER).setvalue(source == SOURCE_MUSIC_FOLDER);
    control(RADIO_LIBRARY).setvalue(source == SOURCE_LIBRARY);
    control(RADIO_PLAYLIST).setvalue(source == SOURCE_PLAYLIST);
    control(RADIO_FOLDER).setvalue(source == SOURCE_FOLDER);
    control(RADIO_PLAYLIST_FILE).setvalue(source == SOURCE_PLAYLIST_FILE);
    const bool haveLibrary = libraryMissing.empty();
    control(RADIO_LIBRARY).enable(haveLibrary);
    control(RADIO_PLAYLIST).enable(haveLibrary);
    control(PLAYLIST_POPUP).enable(source == SOURCE_PLAYLIST && haveLibrary);
    control(CHOOSE_BUTTON).enable(source == SOURCE_FOLDER);
    control(CHOOSE_PLAYLIST_FILE).enable(source == SOURCE_PLAYLIST_FILE);
    bool library = source == SOURCE_LIBRARY || source == SOURCE_PLAYLIST;
    std::string where = path;
    if (source == SOURCE_LIBRARY)
        where = "iTunes Music";
    else if (source == SOURCE_PLAYLIST)
        where = playlist[0] != '\0' ? std::string("Playlist \"") + playlist + "\"" : "No playlist chosen";
    else if (source == SOURCE_PLAYLIST_FILE)
        where = playlistFile;
    control(FOLDER_TEXT).settext(where.c_str());
    struct stat st;
    const bool none = libraryfile[0] == '\0' && stat(libraryPath.c_str(), &st) != 0;
    control(LIBRARY_TEXT).settext(none ? "None found" : libraryPath.c_str());
    const std::string trouble = librarytroubletext();
    control(LIBRARY_PROBLEM).settext(trouble.c_str());
    control(LIBRARY_PROBLEM).setvisible(!trouble.empty());

    bool bpm = control(CHECK_DETECTBPM).getvalue();
    bool times = control(CHECK_OPTIMIZETIMES).getvalue();
    bool volume = control(CHECK_ADJUSTVOLUME).getvalue();
    control(CHECK_OVERWRITEBPM).enable(bpm);
    control(CHECK_LESSINTRO).enable(times);
    control(CHECK_OVERWRITETIMES).enable(times);
    control(CHECK_OVERWRITEVOLUME).enable(volume);
    // Nothing to send results to without a library file.
    if (control(CHECK_EXPORT).enabled())
        exportWanted = control(CHECK_EXPORT).getvalue();
    control(CHECK_EXPORT).enable(haveLibrary);
    control(CHECK_EXPORT).setvalue(haveLibrary && exportWanted);

    // The tooltip says what stands in Start's way, the first thing first.
    const char* why = nullptr;
    if (library && !haveLibrary)
        why = "Choose a library file first: without one there is no library or playlist to process.";
    else if (source == SOURCE_PLAYLIST && control(PLAYLIST_POPUP).popupselected() < FIRST_PLAYLIST_ITEM)
        why = "Choose a playlist first.";
    else if (source == SOURCE_PLAYLIST_FILE && playlistFile.empty())
        why = "Choose a playlist file first.";
    else if (!(bpm || times || volume))
        why = "Switch on the tempo, the start and stop times or the volume first: there is nothing else to do.";
    control(START_BUTTON).enable(why == nullptr);
    control(START_BUTTON).settooltip(why ? why : "Process the tracks of the chosen source.");
    control(PREVIEW_BUTTON).enable(why == nullptr);
}

int MainWindow::folderchosen(const char* chosen)
{
    ovra::strcpy_max(path, sizeof path, chosen);
    recomputestates();
    return 0;
}

std::vector<std::string> MainWindow::takepaths(const std::vector<std::string>& paths)
{
    std::vector<std::string> refused;
    bool taken = false;
    for (const std::string& given : paths) {
        struct stat st;
        char resolved[ovra::PATH_BUFFER];
        // A playlist file is a source of its own.
        if (!taken && isPlaylistFile(given.c_str()) && stat(given.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::realpath(given.c_str(), resolved) != nullptr && std::strlen(resolved) < sizeof resolved - 1) {
            taken = true;
            playlistfilechosen(resolved);
            setsource(SOURCE_PLAYLIST_FILE);
            continue;
        }
        if (taken || stat(given.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || given.size() >= sizeof resolved ||
            ovra::resolvealias(given.c_str(), resolved) != 0 || std::strlen(resolved) >= sizeof path) {
            refused.push_back(given);
            continue;
        }
        taken = true;
        folderchosen(resolved);
        setsource(SOURCE_FOLDER);
    }
    return refused;
}

int MainWindow::librarychosen(const char* chosen)
{
    if (!chosen || std::strlen(chosen) >= sizeof libraryfile)
        return 0; // it would name another file
    ovra::strcpy_max(libraryfile, sizeof libraryfile, chosen);
    if (source == SOURCE_PLAYLIST) {
        rebuildplaylistpopup();
    } else {
        // Read it once now, so that a wrong choice shows at once.
        locatelibrary();
        libraryUnreadable.clear();
        if (libraryMissing.empty()) {
            try {
                ovra::readPListFile(libraryfile)->asDict()->get("Playlists")->asArray()->at(0);
            } catch (int code) {
                libraryUnreadable = librarytrouble(code, libraryPath);
            }
        }
    }
    recomputestates();
    return 0;
}

int MainWindow::playlistfilechosen(const char* chosen)
{
    if (!chosen || std::strlen(chosen) >= ovra::PATH_BUFFER)
        return 0; // it would name another file
    playlistFile = chosen;
    source = SOURCE_PLAYLIST_FILE;
    recomputestates();
    return 0;
}

namespace {
// A file chooser opens where the current choice is (selected), else in the Music folder.
void startat(QFileDialog* d, const std::string& chosen)
{
    QFileInfo current(QString::fromStdString(chosen));
    if (!chosen.empty() && current.dir().exists()) {
        d->setDirectory(current.dir());
        if (current.exists())
            d->selectFile(current.fileName());
    } else {
        char music[ovra::PATH_BUFFER];
        ovra::homemusicfolder(music);
        d->setDirectory(QString::fromUtf8(music));
    }
}
} // namespace

void MainWindow::chooseplaylistfile()
{
    QFileDialog* d = filesheet(playlistDialog, "Choose a Playlist File");
    if (d == nullptr)
        return;
    d->setFileMode(QFileDialog::ExistingFile);
    d->setAcceptMode(QFileDialog::AcceptOpen);
    d->setNameFilters({"Playlist files (*.m3u *.m3u8 *.pls *.M3U *.M3U8 *.PLS)", "All files (*)"});
    startat(d, playlistFile);
    QObject::connect(d, &QFileDialog::fileSelected, d,
                     [this](const QString& file) { playlistfilechosen(file.toUtf8().constData()); });
    d->open();
}

void MainWindow::chooselibrary()
{
    QFileDialog* d = filesheet(libraryDialog, "Choose the Library File");
    if (d == nullptr)
        return;
    d->setFileMode(QFileDialog::ExistingFile);
    d->setAcceptMode(QFileDialog::AcceptOpen);
    d->setNameFilters({"Library files (*.xml)", "All files (*)"});
    startat(d, libraryPath);
    QObject::connect(d, &QFileDialog::fileSelected, d,
                     [this](const QString& file) { librarychosen(file.toUtf8().constData()); });
    d->open();
}

void MainWindow::editlocationmaps()
{
    if (mapDialog) {
        mapDialog->raise();
        return;
    }
    auto* d = new LocationMapDialog(platformwindow(), locationMaps, libraryPath);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->setWindowModality(Qt::WindowModal);
    QObject::connect(d, &QDialog::accepted, d, [this, d] { locationMaps = d->maps(); });
    mapDialog = d;
    d->open();
}

void MainWindow::showjournals()
{
    if (journalsDialog) {
        journalsDialog->reload();
        journalsDialog->raise();
        return;
    }
    auto* d = new PendingJournalsDialog(platformwindow());
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->setWindowModality(Qt::WindowModal);
    journalsDialog = d;
    d->open();
}

void MainWindow::askquit()
{
    if (!progress.running() || progress.ended()) {
        quitnow(); // a batch that has ended only has its worker's return left
        return;
    }
    if (quitQuestion) {
        quitQuestion->raise();
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Question, "Tempix", "A batch is running. Quit Tempix now?",
                                QMessageBox::NoButton, platformwindow());
    box->setInformativeText("The batch stops after the step it is in. Tracks already done keep their results.");
    QPushButton* quit = box->addButton("Quit", QMessageBox::AcceptRole);
    QPushButton* stay = box->addButton("Continue", QMessageBox::RejectRole);
    box->setDefaultButton(stay);
    box->setEscapeButton(stay);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::buttonClicked, box, [this, quit](QAbstractButton* b) {
        if (b == quit)
            quitnow();
    });
    quitQuestion = box;
    box->open();
}

void MainWindow::quitnow()
{
    // Cancelled now; the way out of the event loop waits for the worker
    // (stopbatch) before the settings are saved.
    progress.processor().cancelall();
    ovra::quitapplication();
}

void MainWindow::sheetclosed()
{
    recomputestates();
    // A library none of whose tracks is here: offer the mappings at once.
    if (QMessageBox* notice = nothingfoundnotice(platformwindow(), progress.batchlog(), [this] { editlocationmaps(); }))
        notice->open();
}

void MainWindow::startbatch(bool preview)
{
    if (!control(START_BUTTON).enabled() || progress.iscreated())
        return;
    progress.setpreview(preview);
    if (progress.createwindow("ProcessingWindow") == 0)
        progress.showsheet(this, false);
}

bool MainWindow::command(ovra::CommandID command)
{
    if (progress.iscreated() && command != ovra::fourcc("clos") && command != ovra::fourcc("abou") &&
        command != ovra::fourcc("VWWW"))
        return true; // the sheet has the batch; shortcuts do not reach past it
    switch (command) {
    case ovra::fourcc("CuLo"):
        setinitialfolder(path);
        setmodality(this);
        run();
        return true;
    case ovra::fourcc("CuLb"):
        chooselibrary();
        return true;
    case ovra::fourcc("CuPF"):
        chooseplaylistfile();
        return true;
    case ovra::fourcc("MapL"):
        editlocationmaps();
        return true;
    case ovra::fourcc("Jrnl"):
        showjournals();
        return true;
    case ovra::fourcc("More"):
        if (options.createwindow("OptionsWindow") == 0)
            options.showsheet(this);
        return true;
    case ovra::fourcc("RCLo"):
        source = SOURCE_FOLDER;
        break;
    case ovra::fourcc("RPLF"):
        source = SOURCE_PLAYLIST_FILE;
        break;
    case ovra::fourcc("RMMF"):
        source = SOURCE_MUSIC_FOLDER;
        ovra::homemusicfolder(path);
        break;
    case ovra::fourcc("RiTL"):
        source = SOURCE_LIBRARY;
        locatelibrary();
        break;
    case ovra::fourcc("RiTP"):
        source = SOURCE_PLAYLIST;
        rebuildplaylistpopup();
        break;
    case ovra::fourcc("Strt"):
        // Also reached by the menu's shortcut: never past a disabled button.
        // The sheet leaves the window's close box and Quit working.
        startbatch(false);
        break;
    case ovra::fourcc("Prvw"):
        startbatch(true);
        break;
    case ovra::fourcc("Updt"):
        break;
    case ovra::fourcc("VWWW"):
        openURL(TEMPIX_WEB_PAGE);
        return true;
    case ovra::fourcc("abou"):
        if (about.createwindow("AboutWindow") == 0)
            about.bringtofront();
        return true;
    case ovra::fourcc("clos"):
        askquit();
        return true;
    case ovra::fourcc("iTPL"): {
        int index = control(PLAYLIST_POPUP).popupselected();
        if (index == ITEM_REFRESH)
            rebuildplaylistpopup();
        else if (index == ITEM_CHOOSE)
            playlist[0] = '\0';
        else if (auto* combo = qobject_cast<QComboBox*>(findcontrol(PLAYLIST_POPUP))) {
            const QByteArray name = combo->currentData().toString().toUtf8();
            // Empty when too long for the field.
            ovra::strcpy_max(playlist, sizeof playlist, size_t(name.size()) < sizeof playlist ? name.constData() : "");
        }
        break;
    }
    default:
        return false;
    }
    recomputestates();
    return true;
}

bool MainWindow::commandstatus(ovra::CommandID command, uint32_t& flags)
{
    if (command == ovra::fourcc("Strt") || command == ovra::fourcc("Prvw")) {
        flags = control(START_BUTTON).enabled() && !progress.iscreated() ? 1u : 2u;
        return true;
    }
    if (command == ovra::fourcc("More")) {
        flags = progress.iscreated() ? 2u : 1u;
        return true;
    }
    return false;
}

} // namespace ovra::tempix
