#include "app/MainWindow.h"
#include "app/SavedSettings.h"
#include "batch/LibraryFile.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"
#include "platform/window/EventLoop.h"
#include "plist/PListNode.h"

#include <cstring>
#include <memory>

namespace ovra::tempix {

namespace {
enum : int {
    RADIO_MUSIC_FOLDER = 116,
    RADIO_LIBRARY = 117,
    RADIO_PLAYLIST = 118,
    RADIO_FOLDER = 119,
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
};

// Pop-up items before the playlists.
constexpr int ITEM_CHOOSE = 0;
constexpr int ITEM_REFRESH = 1;
constexpr int FIRST_PLAYLIST_ITEM = 3;
} // namespace

MainWindow::MainWindow() : progress(*this), preferences(PREFERENCE_DOMAIN, false)
{
    path[0] = '\0';
    playlist[0] = '\0';
}

MainWindow::~MainWindow()
{
    save();
}

bool MainWindow::windowcreated()
{
    BatchSettings settings;
    BatchOptions flags;
    loadSettings(preferences, settings, flags);
    source = settings.source;
    ovra::strcpy_max(path, sizeof path, settings.path.c_str());
    ovra::strcpy_max(playlist, sizeof playlist, settings.playlist.c_str());
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
    control(CHECK_REPROCESS).setvalue(flags.reprocess);
    options.setgenres(settings.genrepolicy, settings.badgenres.c_str(), settings.goodgenres.c_str());
    recomputestates();
    return true;
}

// Nothing was loaded when the window never came up: keep what is stored.
void MainWindow::save()
{
    if (!iscreated())
        return;
    try {
        saveSettings(preferences, batchsettings(), batchoptions());
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
    o.exportToLibrary = control(CHECK_EXPORT).getvalue();
    o.reprocess = control(CHECK_REPROCESS).getvalue();
    return o;
}

BatchSettings MainWindow::batchsettings() const
{
    BatchSettings s;
    s.source = source;
    s.path = path;
    s.playlist = playlist;
    s.genrepolicy = options.genrepolicy;
    s.badgenres = options.badgenres;
    s.goodgenres = options.goodgenres;
    return s;
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
// and selects the saved one. An unreadable library is not reported: the
// items read so far stay.
void MainWindow::rebuildplaylistpopup()
{
    ovra::Control popup = control(PLAYLIST_POPUP);
    popup.popupclear();
    popup.popupappend("Choose...");
    popup.popupappend("Refresh this list");
    popup.popupappendseparator();

    char library[1024];
    findLibraryFile(library);
    std::unique_ptr<ovra::PListNode> root;
    try {
        root = ovra::readPListFile(library);
    } catch (int) {
        popup.popupselect(ITEM_CHOOSE);
        return;
    }
    int selected = ITEM_CHOOSE;
    try {
        ovra::PListDict* dict = root ? root->asDict() : nullptr;
        ovra::PListArray* playlists = dict ? dict->get("Playlists")->asArray() : nullptr;
        int count = playlists ? playlists->count() : 0;
        for (int i = 0; i < count; ++i) {
            ovra::PListDict* entry = playlists->at(i)->asDict();
            ovra::PListString* name = entry ? entry->get("Name")->asString() : nullptr;
            if (!name)
                break;
            const char* text = name->text() ? name->text() : "";
            popup.popupappend(text);
            if (std::strcmp(text, playlist) == 0)
                selected = i + FIRST_PLAYLIST_ITEM;
        }
    } catch (int) {
        // A playlist that cannot be read ends the list there.
    }
    popup.popupselect(selected);
}

void MainWindow::recomputestates()
{
    control(RADIO_MUSIC_FOLDER).setvalue(source == SOURCE_MUSIC_FOLDER);
    control(RADIO_LIBRARY).setvalue(source == SOURCE_LIBRARY);
    control(RADIO_PLAYLIST).setvalue(source == SOURCE_PLAYLIST);
    control(RADIO_FOLDER).setvalue(source == SOURCE_FOLDER);
    control(PLAYLIST_POPUP).enable(source == SOURCE_PLAYLIST);
    control(CHOOSE_BUTTON).enable(source == SOURCE_FOLDER);
    bool library = source == SOURCE_LIBRARY || source == SOURCE_PLAYLIST;
    control(FOLDER_TEXT).settext(library ? "iTunes Music" : path);

    bool bpm = control(CHECK_DETECTBPM).getvalue();
    bool times = control(CHECK_OPTIMIZETIMES).getvalue();
    bool volume = control(CHECK_ADJUSTVOLUME).getvalue();
    control(CHECK_OVERWRITEBPM).enable(bpm);
    control(CHECK_LESSINTRO).enable(times);
    control(CHECK_OVERWRITETIMES).enable(times);
    control(CHECK_OVERWRITEVOLUME).enable(volume);

    bool start = bpm || times || volume;
    if (source == SOURCE_PLAYLIST && control(PLAYLIST_POPUP).popupselected() < FIRST_PLAYLIST_ITEM)
        start = false;
    control(START_BUTTON).enable(start);
}

int MainWindow::folderchosen(const char* chosen)
{
    ovra::strcpy_max(path, sizeof path, chosen);
    recomputestates();
    return 0;
}

bool MainWindow::command(ovra::CommandID command)
{
    switch (command) {
    case ovra::fourcc("CuLo"):
        setinitialfolder(path);
        setmodality(this);
        run();
        return true;
    case ovra::fourcc("More"):
        if (options.createwindow("OptionsWindow") == 0)
            options.showsheet(this);
        return true;
    case ovra::fourcc("RCLo"):
        source = SOURCE_FOLDER;
        break;
    case ovra::fourcc("RMMF"):
        source = SOURCE_MUSIC_FOLDER;
        ovra::homemusicfolder(path);
        break;
    case ovra::fourcc("RiTL"):
        source = SOURCE_LIBRARY;
        break;
    case ovra::fourcc("RiTP"):
        source = SOURCE_PLAYLIST;
        rebuildplaylistpopup();
        break;
    case ovra::fourcc("Strt"):
        // Also reached by the menu's shortcut: never past a disabled button.
        if (control(START_BUTTON).enabled() && !progress.iscreated() &&
            progress.createwindow("ProcessingWindow") == 0)
            progress.showsheet(this);
        return true;
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
        ovra::quitapplication();
        return true;
    case ovra::fourcc("iTPL"): {
        int index = control(PLAYLIST_POPUP).popupselected();
        if (index == ITEM_REFRESH)
            rebuildplaylistpopup();
        else if (index == ITEM_CHOOSE)
            playlist[0] = '\0';
        else
            control(PLAYLIST_POPUP).popupitemtext(-1, playlist, sizeof playlist); // empty when too long
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
    if (command != ovra::fourcc("Strt"))
        return false;
    flags = control(START_BUTTON).enabled() && !progress.iscreated() ? 1u : 2u;
    return true;
}

} // namespace ovra::tempix
