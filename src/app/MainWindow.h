// The main window: the source of the tracks, the library file, the nine
// processing options, and the sheets and windows opened from it. Holds the
// settings while the program runs and saves them once, when it is destroyed.
#pragma once
#include "app/AboutWindow.h"
#include "app/LocationMapDialog.h"
#include "app/PendingJournalsDialog.h"
#include "app/OptionsWindow.h"
#include "platform/settings/PreferenceStore.h"
#include "platform/tools_paths.h"
#include "app/ProcessingWindow.h"
#include "batch/BatchOptions.h"
#include "platform/window/FileDialog.h"
#include "platform/window/WindowEvents.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>

#include <string>
#include <vector>

namespace ovra::tempix {

class MainWindow : public ovra::WindowEvents, public ovra::FileDialog {
public:
    MainWindow();
    // Saves the settings, then the members go in reverse order.
    ~MainWindow() override;

    bool windowcreated() override; // loads the settings
    bool command(ovra::CommandID command) override;
    bool commandstatus(ovra::CommandID command, uint32_t& flags) override;
    int folderchosen(const char* path) override;
    // Paths from the command line (the desktop entry's %F): the first folder
    // becomes the chosen source. Returns what the window cannot take (files,
    // further folders, missing paths) for the caller to name.
    std::vector<std::string> takepaths(const std::vector<std::string>& paths);
    // A library file chosen by the user (at most 1023 bytes); 0.
    int librarychosen(const char* path);
    // A playlist file (.m3u, .m3u8, .pls) chosen as the source; 0.
    int playlistfilechosen(const char* path);

    // What a batch started now would run with.
    BatchOptions batchoptions();
    BatchSettings batchsettings() const;

    int currentsource() const { return source; }
    const char* folder() const { return path; }
    const char* playlistname() const { return playlist; }
    const std::string& playlistfile() const { return playlistFile; }
    QFileDialog* playlistfiledialog() const { return playlistDialog.data(); }
    // The library file in use: the chosen one, else the one the lookup finds.
    const std::string& libraryfilepath() const { return libraryPath; }
    // Why it cannot serve, in words; empty when it can.
    std::string librarytroubletext() const;
    OptionsWindow& optionswindow() { return options; }
    PreferenceStore& preferencestore() { return preferences; }
    ProcessingWindow& processingwindow() { return progress; }
    AboutWindow& aboutwindow() { return about; }
    QFileDialog* librarydialog() const { return libraryDialog.data(); }
    QMessageBox* quitquestion() const { return quitQuestion.data(); }
    LocationMapDialog* locationmapdialog() const { return mapDialog.data(); }
    // The journals of interrupted updates that are not settled; opened at
    // the start when there are any, and from the File menu.
    void showjournals();
    PendingJournalsDialog* journalsdialog() const { return journalsDialog.data(); }
    // The library's location mappings ("PREFIX=FOLDER" each).
    const std::vector<std::string>& locationmaps() const { return locationMaps; }

    // The progress sheet has gone: the window takes input again.
    void sheetclosed();
    // Quits without asking: cancels a running batch and ends the event loop;
    // the program then waits for the batch's worker, and the settings are
    // saved when the window goes.
    void quitnow();

private:
    void setsource(int value);
    void rebuildplaylistpopup();
    void recomputestates();
    void locatelibrary();
    void chooselibrary();
    void chooseplaylistfile();
    void editlocationmaps();
    void askquit();
    void save();

    int source = 0;
    char path[ovra::PATH_BUFFER];
    char playlist[80];
    OptionsWindow options;
    ProcessingWindow progress;
    PreferenceStore preferences;
    AboutWindow about;
    char libraryfile[ovra::PATH_BUFFER]; // chosen by the user; empty: look it up
    int jobs = 0;                        // tracks analysed at once ("jobs"); 0: one per core
    std::string libraryPath;             // in use
    std::string libraryMissing;          // why it cannot be used at all, in words
    std::string libraryUnreadable;       // what reading it last found wrong
    QPointer<QFileDialog> libraryDialog;
    std::string playlistFile; // of the playlist-file source
    QPointer<QFileDialog> playlistDialog;
    QPointer<QMessageBox> quitQuestion;
    std::vector<std::string> locationMaps;
    QPointer<LocationMapDialog> mapDialog;
    QPointer<PendingJournalsDialog> journalsDialog;
    ReplayGainMode storedReplayGain = ReplayGainMode::off; // as the settings keep it
    // The export box as chosen: without a library it shows off and disabled,
    // and the choice comes back with a library.
    bool exportWanted = true;
    void startbatch(bool preview);
};

} // namespace ovra::tempix
