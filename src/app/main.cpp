// tempix: the desktop application.
#include "app/MainWindow.h"
#include "app/ScreenshotRun.h"
#include "audio/Movies_auto.h"
#include "platform/tools_appenv.h"
#include "platform/window/EventLoop.h"
#include "platform/window/QuitSignals.h"
#include "tags/WriteJournal.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    ovra::setargv0(argv[0]);
    // Answered without a display.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs("Usage: tempix [FOLDER]\nOpens the Tempix window; a FOLDER given becomes the chosen folder.\n"
                   "Batches from a terminal: tempix-cli --help\n",
                   stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("tempix " TEMPIX_VERSION);
        return 0;
    }
    ovra::recoverinterruptedwrites(nullptr); // undo an interrupted tag update first
    ovra::initevents(argc, argv);
    QApplication::setApplicationName("Tempix");
    QApplication::setApplicationVersion(TEMPIX_VERSION);
    QApplication::setDesktopFileName("com.quillfen.tempix");
    QApplication::setWindowIcon(QIcon(":/main/tempix.svg"));

    const char* screenshots = nullptr;
    std::vector<std::string> paths;
    if (argc == 3 && std::strcmp(argv[1], "--screenshots") == 0) {
        screenshots = argv[2];
    } else {
        // Folders and files handed over by the desktop (Exec=tempix %F).
        bool options = true;
        for (int i = 1; i < argc; ++i) {
            if (options && std::strcmp(argv[i], "--") == 0) {
                options = false;
            } else {
                paths.push_back(argv[i]);
            }
        }
    }

    auto window = std::make_unique<ovra::tempix::MainWindow>();
    if (window->createwindow("TempixWindow") != 0) {
        std::fprintf(stderr, "tempix: the main window could not be created\n");
        return 1;
    }
    window->installmenubar("MenuBar");
    for (const std::string& refused : window->takepaths(paths))
        std::fprintf(stderr, "tempix: not opened: %s (the window takes one folder; tempix-cli takes files)\n",
                     refused.c_str());
    // A logout's SIGTERM quits as Quit does, without asking: the batch is
    // cancelled and waited for, and the settings are saved.
    ovra::QuitSignals quitSignals([&window](int) { window->quitnow(); });
    window->show(true);
    if (screenshots)
        ovra::tempix::schedulescreenshots(*window, screenshots);
    else if (!ovra::pendingjournals().empty())
        window->showjournals(); // an interrupted update needs the user: say so at once

    {
        ovra::Movies_auto decoding; // the decoder's set-up, also when the loop throws
        ovra::runapplicationloop();
        // The windows go at once; a batch still running is cancelled and
        // waited for before anything it uses goes away.
        window->processingwindow().show(false);
        window->show(false);
        window->processingwindow().stopbatch();
    }
    window.reset(); // saves the settings
    ovra::endevents();
    return 0;
}
