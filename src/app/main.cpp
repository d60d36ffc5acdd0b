// tempix: the desktop application.
#include "app/MainWindow.h"
#include "app/ScreenshotRun.h"
#include "audio/Movies_auto.h"
#include "platform/tools_appenv.h"
#include "platform/window/EventLoop.h"
#include "tags/WriteJournal.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    ovra::setargv0(argv[0]);
    ovra::recoverinterruptedwrites(nullptr); // undo an interrupted tag update first
    ovra::initevents(argc, argv);
    QApplication::setApplicationName("Tempix");
    QApplication::setApplicationVersion(TEMPIX_VERSION);
    QApplication::setDesktopFileName("tempix");
    QApplication::setWindowIcon(QIcon(":/main/tempix.svg"));

    const char* screenshots = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--screenshots") == 0)
        screenshots = argv[2];

    auto window = std::make_unique<ovra::tempix::MainWindow>();
    if (window->createwindow("TempixWindow") != 0) {
        std::fprintf(stderr, "tempix: the main window could not be created\n");
        return 1;
    }
    window->installmenubar("MenuBar");
    window->show(true);
    if (screenshots)
        ovra::tempix::schedulescreenshots(*window, screenshots);

    {
        ovra::Movies_auto decoding; // the decoder's set-up, also when the loop throws
        ovra::runapplicationloop();
        // Quit while a batch runs: cancel it and wait for its worker first.
        window->processingwindow().stopbatch();
    }
    window.reset(); // saves the settings
    ovra::endevents();
    return 0;
}
