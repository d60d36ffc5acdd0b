// Benchmark of the library host: a library of N tracks (default 20000) is
// written, then one script per track selects it by persistent ID, refreshes
// it from a real MP3 file and sets its start and finish, as a batch does.
// Prints the load, per-script and save times and the peak memory.
//   script_library_bench [N]
#include "batch/ITunesUpdate.h"
#include "script/AppleScriptRunner.h"
#include "script/LibraryHost.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    int n = argc > 1 ? std::atoi(argv[1]) : 20000;
    char dirtemplate[] = "/tmp/tempix-bench-XXXXXX";
    std::string dir = mkdtemp(dirtemplate);
    std::string mp3 = dir + "/t.mp3";
    std::string cmd = "ffmpeg -v error -f lavfi -i sine=duration=1 -c:a libmp3lame '" + mp3 + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    std::string library = dir + "/library.xml";
    {
        std::ofstream out(library);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
               "version=\"1.0\">\n<dict>\n\t<key>Tracks</key>\n\t<dict>\n";
        for (int i = 1; i <= n; ++i) {
            char pid[17];
            std::snprintf(pid, sizeof pid, "%016X", i * 7919);
            out << "\t\t<key>" << i << "</key>\n\t\t<dict>\n"
                << "\t\t\t<key>Track ID</key><integer>" << i << "</integer>\n"
                << "\t\t\t<key>Name</key><string>Track number " << i << "</string>\n"
                << "\t\t\t<key>Artist</key><string>Someone &#38; Others</string>\n"
                << "\t\t\t<key>Kind</key><string>MPEG audio file</string>\n"
                << "\t\t\t<key>Size</key><integer>8612</integer>\n"
                << "\t\t\t<key>Total Time</key><integer>1000</integer>\n"
                << "\t\t\t<key>Date Added</key><date>2026-01-02T03:04:05Z</date>\n"
                << "\t\t\t<key>Persistent ID</key><string>" << pid << "</string>\n"
                << "\t\t\t<key>Track Type</key><string>File</string>\n"
                << "\t\t\t<key>Location</key><string>file://localhost" << mp3 << "</string>\n"
                << "\t\t</dict>\n";
        }
        out << "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n\t\t<dict>\n\t\t\t<key>Name</key><string>Library</"
               "string>\n"
            << "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n";
        for (int i = 1; i <= n; ++i)
            out << "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>" << i << "</integer>\n\t\t\t\t</dict>\n";
        out << "\t\t\t</array>\n\t\t</dict>\n\t</array>\n</dict>\n</plist>\n";
    }
    ovra::setlibraryfile(library.c_str());
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    double first = 0, rest = 0, save = 0;
    {
        ovra::AppleScriptRunner runner;
        char result[80];
        for (int i = 1; i <= n; ++i) {
            // The script the batch sends for a track with new times.
            ovra::tempix::ITunesUpdateInput in;
            in.trackId = i;
            in.persistentId = uint64_t(i) * 7919;
            in.values.hasTimes = true;
            in.values.times = {i, 100000 + i};
            const std::string script = ovra::tempix::iTunesScript(in);
            auto t0 = Clock::now();
            int status = runner.executefromtext(script.c_str(), result, sizeof result);
            auto t1 = Clock::now();
            if (status != 0 || std::string(result) != "1") {
                std::fprintf(stderr, "track %d: status %d result %s\n", i, status, result);
                return 1;
            }
            (i == 1 ? first : rest) += ms(t1 - t0);
        }
        auto t0 = Clock::now();
        runner.finish();
        save = ms(Clock::now() - t0);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("tracks: %d\nfirst script (loads the library): %.1f ms\nother scripts: %.3f ms each\n"
                "save: %.1f ms\npeak memory: %ld MiB\n",
                n, first, n > 1 ? rest / (n - 1) : 0.0, save, ru.ru_maxrss / 1024);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
