// How far the progress sheet falls behind a batch, and how long Cancel takes
// to close it: the desktop's windows on the offscreen platform, in a home of
// their own, over a generated library whose files are all missing (every
// track fails at once), or over a folder of real tracks.
//
//   tempix-bench-display [TRACKS] [FOLDER] [RUN_MS]
//
// TRACKS (default 60000) missing-file tracks; with FOLDER, a folder batch
// over it instead. The batch's count is read from the log file as it grows
// (one "Processing:" entry per track begun, flushed at once); the sheet's
// from its progress bar. Prints the largest and the median lag between the
// two (time from the log reaching a count to the bar showing it), then
// presses Cancel after RUN_MS and prints the time until the sheet is gone.
#include "app/MainWindow.h"
#include "app/ProcessingWindow.h"
#include "platform/FourCharCode.h"
#include "platform/window/EventLoop.h"
#include "platform/window/WindowEvents.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int RUN_MS = 4000;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void writelibrary(const fs::path& file, int tracks)
{
    fs::create_directories(file.parent_path());
    std::ofstream f(file);
    f << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n\t<key>Tracks</key>\n\t<dict>\n";
    for (int i = 1; i <= tracks; ++i)
        f << "\t\t<key>" << i << "</key>\n\t\t<dict><key>Track ID</key><integer>" << i
          << "</integer><key>Location</key><string>file:///nowhere/missing" << i << ".mp3</string></dict>\n";
    f << "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n\t\t<dict><key>Name</key><string>Library</string>"
         "<key>Playlist Items</key><array>\n";
    for (int i = 1; i <= tracks; ++i)
        f << "<dict><key>Track ID</key><integer>" << i << "</integer></dict>\n";
    f << "</array></dict>\n\t</array>\n</dict>\n</plist>\n";
}

// Counts the "Processing:" entries of the log as it grows.
class LogCounter {
public:
    explicit LogCounter(fs::path file) : path(std::move(file)) {}
    int count()
    {
        std::ifstream f(path, std::ios::binary);
        f.seekg(std::streamoff(offset));
        std::string line;
        while (std::getline(f, line)) {
            if (f.eof())
                break; // a part line: read again next time
            offset += line.size() + 1;
            if (line.rfind("Processing: ", 0) == 0)
                ++counted;
        }
        return counted;
    }

private:
    fs::path path;
    size_t offset = 0;
    int counted = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const int tracks = argc > 1 ? std::atoi(argv[1]) : 60000;
    const std::string folder = argc > 2 && *argv[2] ? fs::canonical(argv[2]).string() : std::string();
    const int runMs = argc > 3 ? std::atoi(argv[3]) : RUN_MS;

    char templ[] = "/tmp/tempix-bench-display-XXXXXX";
    const fs::path home = fs::canonical(mkdtemp(templ));
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    fs::create_directories(home / ".config");
    fs::create_directories(home / "Music");
    if (folder.empty())
        writelibrary(home / "Music/iTunes/iTunes Music Library.xml", tracks);
    std::ofstream(home / ".config/com.quillfen.tempix.conf")
        << "[General]\n"
        << (folder.empty() ? "source=1\n" : "source=3\npath=" + folder + "\n") << "export=0\n";

    int qargc = 1;
    char name[] = "tempix-bench-display";
    char* qargv[] = {name, nullptr};
    ovra::initevents(qargc, qargv);
    ovra::setinterfacefolder(nullptr);
    {
        ovra::tempix::MainWindow w;
        if (w.createwindow("TempixWindow") != 0)
            return 1;
        w.show(true);
        w.sendcommand(ovra::fourcc("Strt"));
        ovra::tempix::ProcessingWindow& p = w.processingwindow();
        LogCounter log(home / ".local/state/tempix/Tempix.log");

        // When the log reached each count, and when the bar showed it.
        std::vector<Clock::time_point> logged, shown;
        const Clock::time_point start = Clock::now();
        while (ms(Clock::now() - start) < runMs && p.running()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const Clock::time_point now = Clock::now();
            for (int c = log.count(); int(logged.size()) < c;)
                logged.push_back(now);
            // The bar counts tracks finished, the log tracks begun: the lag
            // measured includes one track's time.
            for (int v = p.control(101).progressvalue(); int(shown.size()) < v;)
                shown.push_back(now);
            QThread::msleep(2);
        }
        std::vector<double> lags;
        for (size_t i = 0; i < shown.size() && i < logged.size(); ++i)
            lags.push_back(std::max(0.0, ms(shown[i] - logged[i])));
        std::sort(lags.begin(), lags.end());
        std::printf("tracks counted by the batch in %d ms: %zu, shown: %zu%s\n", runMs, logged.size(), shown.size(),
                    p.running() ? "" : " (the batch had ended)");
        if (!lags.empty())
            std::printf("lag of the bar behind the batch: median %.0f ms, largest %.0f ms\n", lags[lags.size() / 2],
                        lags.back());

        const Clock::time_point pressed = Clock::now();
        if (auto* b = qobject_cast<QAbstractButton*>(p.findcontrol(105)))
            b->click();
        while (p.iscreated() && ms(Clock::now() - pressed) < 60000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(1);
        }
        std::printf("Cancel to the sheet gone: %.0f ms%s\n", ms(Clock::now() - pressed),
                    p.iscreated() ? " (still open after 60 s)" : "");
    }
    ovra::processpendingevents();
    fs::remove_all(home);
    return 0;
}
