// The main window: the source of the tracks, the nine processing options,
// and the sheets and windows opened from it. Holds the settings while the
// program runs and saves them once, when it is destroyed.
#pragma once
#include "app/AboutWindow.h"
#include "app/OptionsWindow.h"
#include "app/PreferenceStore.h"
#include "app/ProcessingWindow.h"
#include "batch/BatchOptions.h"
#include "platform/window/FileDialog.h"
#include "platform/window/WindowEvents.h"

namespace ovra::tempix {

class MainWindow : public ovra::WindowEvents, public ovra::FileDialog {
public:
    MainWindow();
    // Saves the settings, then the members go in reverse order.
    ~MainWindow() override;

    bool windowcreated() override;   // loads the settings
    bool command(ovra::CommandID command) override;
    bool commandstatus(ovra::CommandID command, uint32_t& flags) override;
    int folderchosen(const char* path) override;

    // What a batch started now would run with.
    BatchOptions batchoptions();
    BatchSettings batchsettings() const;

    int currentsource() const { return source; }
    const char* folder() const { return path; }
    const char* playlistname() const { return playlist; }
    OptionsWindow& optionswindow() { return options; }
    ProcessingWindow& processingwindow() { return progress; }
    AboutWindow& aboutwindow() { return about; }

private:
    void setsource(int value);
    void rebuildplaylistpopup();
    void recomputestates();
    void save();

    int source = 0;
    char path[1024];
    char playlist[80];
    OptionsWindow options;
    ProcessingWindow progress;
    PreferenceStore preferences;
    AboutWindow about;
};

} // namespace ovra::tempix
