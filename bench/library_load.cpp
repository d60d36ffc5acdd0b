// Benchmark: reading large music libraries in both processes.
//
// Usage: tempix-bench-library [REPEATS] [WORKDIR] [TRACKS...]
//   (defaults: 3, a new folder under /tmp, 10000 50000 100000)
//
// Generates a library of each size, shaped like the desktop player's own (about
// 30 keys per track, dates, entity references, the master playlist, the music
// playlist, smart playlists with data blocks and a few small ones), and reads it
// in a fresh process each time:
//   batch   readPListFile, as tempix-cli and the desktop batch read it;
//   helper  LibraryDocument::load, as osatender reads it;
//   update  the helper's load, a new "Start Time" for every track, and a save.
// Prints per size and reader: the file size, the load (and save) time, the peak
// memory of the process (RSS high-water mark, from wait4), what that is above an
// idle process of the same program, and that as a multiple of the file size.
// Each figure is the median of REPEATS runs, with the lowest and highest.
// Uses only interfaces that older trees have, so the same source builds against them.
#include "plist/PListNode.h"
#include "script/LibraryDocument.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// A small deterministic generator, so that every run reads the same library.
struct Random {
    uint64_t state;
    uint32_t next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

const char* const WORDS[] = {"Love", "Night",  "Blue", "Road",   "Fire", "Dance", "Heart", "River", "Dream", "Light",
                             "Rain", "Summer", "Gold", "Shadow", "Song", "Time",  "City",  "Ocean", "Star",  "Home"};

std::string words(Random& r, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i)
            s += ' ';
        s += WORDS[r.below(20)];
    }
    return s;
}

// A file URL's path part: spaces escaped.
std::string urlpart(const std::string& s)
{
    std::string out;
    for (char ch : s)
        out += ch == ' ' ? std::string("%20") : std::string(1, ch);
    return out;
}

std::string date(Random& r)
{
    char text[32];
    std::snprintf(text, sizeof text, "20%02u-%02u-%02uT%02u:%02u:%02uZ", 5 + r.below(15), 1 + r.below(12),
                  1 + r.below(28), r.below(24), r.below(60), r.below(60));
    return text;
}

struct Writer {
    FILE* f;
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list a;
        va_start(a, format);
        std::vfprintf(f, format, a);
        va_end(a);
        std::fputc('\n', f);
    }
};

void playlist(Writer& w, Random& r, const char* name, int id, const std::vector<int>& items, const char* extra)
{
    w.line("\t\t<dict>");
    w.line("\t\t\t<key>Name</key><string>%s</string>", name);
    w.line("\t\t\t<key>Playlist ID</key><integer>%d</integer>", id);
    w.line("\t\t\t<key>Playlist Persistent ID</key><string>%08X%08X</string>", r.next(), r.next());
    if (extra != nullptr)
        w.line("%s", extra);
    w.line("\t\t\t<key>All Items</key><true/>");
    w.line("\t\t\t<key>Playlist Items</key>");
    w.line("\t\t\t<array>");
    for (int t : items) {
        w.line("\t\t\t\t<dict>");
        w.line("\t\t\t\t\t<key>Track ID</key><integer>%d</integer>", t);
        w.line("\t\t\t\t</dict>");
    }
    w.line("\t\t\t</array>");
    w.line("\t\t</dict>");
}

// Track IDs start at 1000 and step by 2, as the player's do not start at 1.
int trackid(int i) { return 1000 + 2 * i; }

bool makelibrary(const std::string& path, int tracks)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    Writer w{f};
    Random r{uint64_t(tracks) * 7919};
    w.line("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    w.line("<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">");
    w.line("<plist version=\"1.0\">");
    w.line("<dict>");
    w.line("\t<key>Major Version</key><integer>1</integer>");
    w.line("\t<key>Minor Version</key><integer>1</integer>");
    w.line("\t<key>Application Version</key><string>9.2.1</string>");
    w.line("\t<key>Date</key><date>2026-01-02T03:04:05Z</date>");
    w.line("\t<key>Features</key><integer>5</integer>");
    w.line("\t<key>Show Content Ratings</key><true/>");
    w.line("\t<key>Music Folder</key><string>file://localhost/Users/someone/Music/iTunes/iTunes%%20Music/</string>");
    w.line("\t<key>Library Persistent ID</key><string>4A3B2C1D0E0F1A2B</string>");
    w.line("\t<key>Tracks</key>");
    w.line("\t<dict>");
    for (int i = 0; i < tracks; ++i) {
        int id = trackid(i);
        std::string artist = words(r, 1 + r.below(2));
        std::string album = words(r, 2);
        std::string name = words(r, 1 + r.below(4));
        bool aac = r.below(3) == 0;
        w.line("\t\t<key>%d</key>", id);
        w.line("\t\t<dict>");
        w.line("\t\t\t<key>Track ID</key><integer>%d</integer>", id);
        w.line("\t\t\t<key>Name</key><string>%s</string>", name.c_str());
        w.line("\t\t\t<key>Artist</key><string>%s%s</string>", artist.c_str(), r.below(8) == 0 ? " &#38; Friends" : "");
        w.line("\t\t\t<key>Album Artist</key><string>%s</string>", artist.c_str());
        if (r.below(4) == 0)
            w.line("\t\t\t<key>Composer</key><string>%s</string>", words(r, 2).c_str());
        w.line("\t\t\t<key>Album</key><string>%s</string>", album.c_str());
        w.line("\t\t\t<key>Genre</key><string>%s</string>", r.below(2) ? "Rock" : "Electronic");
        w.line("\t\t\t<key>Kind</key><string>%s</string>", aac ? "AAC audio file" : "MPEG audio file");
        w.line("\t\t\t<key>Size</key><integer>%u</integer>", 2000000 + r.below(9000000));
        w.line("\t\t\t<key>Total Time</key><integer>%u</integer>", 120000 + r.below(300000));
        if (r.below(5) == 0) {
            w.line("\t\t\t<key>Start Time</key><integer>%u</integer>", r.below(9000));
            w.line("\t\t\t<key>Stop Time</key><integer>%u</integer>", 120000 + r.below(9000));
        }
        w.line("\t\t\t<key>Disc Number</key><integer>1</integer>");
        w.line("\t\t\t<key>Disc Count</key><integer>1</integer>");
        w.line("\t\t\t<key>Track Number</key><integer>%u</integer>", 1 + r.below(14));
        w.line("\t\t\t<key>Track Count</key><integer>14</integer>");
        w.line("\t\t\t<key>Year</key><integer>%u</integer>", 1960 + r.below(66));
        if (r.below(2) == 0)
            w.line("\t\t\t<key>BPM</key><integer>%u</integer>", 70 + r.below(110));
        w.line("\t\t\t<key>Date Modified</key><date>%s</date>", date(r).c_str());
        w.line("\t\t\t<key>Date Added</key><date>%s</date>", date(r).c_str());
        w.line("\t\t\t<key>Bit Rate</key><integer>%d</integer>", aac ? 256 : 192);
        w.line("\t\t\t<key>Sample Rate</key><integer>44100</integer>");
        if (r.below(3) == 0)
            w.line("\t\t\t<key>Volume Adjustment</key><integer>%d</integer>", int(r.below(200)) - 100);
        if (r.below(6) == 0)
            w.line("\t\t\t<key>Comments</key><string>%s</string>", words(r, 6).c_str());
        w.line("\t\t\t<key>Play Count</key><integer>%u</integer>", r.below(80));
        w.line("\t\t\t<key>Play Date</key><integer>%u</integer>", 3400000000u + r.below(400000000));
        w.line("\t\t\t<key>Play Date UTC</key><date>%s</date>", date(r).c_str());
        if (r.below(4) == 0) {
            w.line("\t\t\t<key>Skip Count</key><integer>%u</integer>", r.below(9));
            w.line("\t\t\t<key>Skip Date</key><date>%s</date>", date(r).c_str());
        }
        w.line("\t\t\t<key>Rating</key><integer>%u</integer>", 20 * r.below(6));
        w.line("\t\t\t<key>Album Rating</key><integer>%u</integer>", 20 * r.below(6));
        w.line("\t\t\t<key>Album Rating Computed</key><true/>");
        w.line("\t\t\t<key>Normalization</key><integer>%u</integer>", r.below(5000));
        w.line("\t\t\t<key>Artwork Count</key><integer>1</integer>");
        w.line("\t\t\t<key>Persistent ID</key><string>%08X%08X</string>", r.next(), uint32_t(id));
        w.line("\t\t\t<key>Track Type</key><string>File</string>");
        w.line("\t\t\t<key>Location</key><string>file://localhost/Users/someone/Music/iTunes/iTunes%%20Music/"
               "%s/%s/%02u%%20%s.%s</string>",
               urlpart(artist).c_str(), urlpart(album).c_str(), 1 + r.below(14), urlpart(name).c_str(),
               aac ? "m4a" : "mp3");
        w.line("\t\t\t<key>File Folder Count</key><integer>4</integer>");
        w.line("\t\t\t<key>Library Folder Count</key><integer>1</integer>");
        w.line("\t\t</dict>");
    }
    w.line("\t</dict>");
    w.line("\t<key>Playlists</key>");
    w.line("\t<array>");
    std::vector<int> all;
    for (int i = 0; i < tracks; ++i)
        all.push_back(trackid(i));
    playlist(w, r, "Library", 100, all, "\t\t\t<key>Master</key><true/>\n\t\t\t<key>Visible</key><false/>");
    playlist(w, r, "Music", 101, all,
             "\t\t\t<key>Distinguished Kind</key><integer>4</integer>\n\t\t\t<key>Music</key><true/>");
    const char* smart = "\t\t\t<key>Smart "
                        "Info</key>\n\t\t\t<data>\n\t\t\tAQEAAwAAAAIAAAAZAAAAAAAAAAcAAAABAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"
                        "\t\t\tAAAAAA==\n\t\t\t</data>";
    for (int k = 0; k < 4; ++k) {
        std::vector<int> some;
        for (int i = k; i < tracks; i += 5 + k * 3)
            some.push_back(trackid(i));
        std::string name = "Smart " + std::to_string(k);
        playlist(w, r, name.c_str(), 102 + k, some, smart);
    }
    for (int k = 0; k < 6; ++k) {
        std::vector<int> some;
        for (int i = 0; i < 200 && i < tracks; ++i)
            some.push_back(trackid(int(r.below(uint32_t(tracks)))));
        std::string name = "Mix &#38; Match " + std::to_string(k);
        playlist(w, r, name.c_str(), 110 + k, some, nullptr);
    }
    w.line("\t</array>");
    w.line("</dict>");
    w.line("</plist>");
    return std::fclose(f) == 0;
}

// ---- the child: one reader, one library --------------------------------------

int child(const std::string& mode, const std::string& path)
{
    if (mode == "idle") {
        std::printf("0 0\n");
        return 0;
    }
    if (mode == "batch") {
        auto t0 = Clock::now();
        std::unique_ptr<ovra::PListNode> root;
        try {
            root = ovra::readPListFile(path.c_str());
        } catch (int code) {
            std::fprintf(stderr, "batch reader: error %d\n", code);
            return 1;
        }
        double load = msince(t0);
        // Every track of the master playlist is found, as the batch finds it.
        ovra::PListDict* dict = root->asDict();
        ovra::PListArray* items = dict->get("Playlists")->asArray()->at(0)->asDict()->get("Playlist Items")->asArray();
        ovra::PListDict* tracks = dict->get("Tracks")->asDict();
        for (int i = 0; i < items->count(); ++i) {
            int id = items->at(i)->asDict()->get("Track ID")->asInteger()->value();
            if (tracks->get(id)->asDict()->get("Location")->asString()->text() == nullptr)
                return 1;
        }
        std::printf("%.1f 0\n", load);
        return 0;
    }
    ovra::LibraryDocument doc;
    auto t0 = Clock::now();
    if (int e = doc.load(path)) {
        std::fprintf(stderr, "helper reader: error %d\n", e);
        return 1;
    }
    double load = msince(t0);
    const std::vector<int64_t>& ids = doc.playlisttracks(1);
    if (ids.empty())
        return 1;
    double save = 0;
    if (mode == "update") {
        for (size_t i = 0; i < ids.size(); ++i)
            doc.setinteger(ids[i], "Start Time", 1000 + int64_t(i % 5000));
        t0 = Clock::now();
        if (int e = doc.save()) {
            std::fprintf(stderr, "helper save: error %d\n", e);
            return 1;
        }
        save = msince(t0);
    }
    std::printf("%.1f %.1f\n", load, save);
    return 0;
}

// ---- the parent ---------------------------------------------------------------

struct Run {
    double load = 0, save = 0;
    long peakkb = 0;
};

// Runs this program as a child in the given mode; false when it failed.
bool runchild(const char* self, const char* mode, const std::string& path, Run& out)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl(self, self, "--child", mode, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char text[128] = "";
    ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    text[n] = '\0';
    out.peakkb = ru.ru_maxrss;
    return std::sscanf(text, "%lf %lf", &out.load, &out.save) == 2;
}

template <typename T>
T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return child(argv[2], argv[3]);
    int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::string work;
    if (argc > 2) {
        work = argv[2];
        mkdir(work.c_str(), 0755);
    } else {
        char t[] = "/tmp/tempix-bench-library-XXXXXX";
        if (mkdtemp(t) == nullptr)
            return 1;
        work = t;
    }
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {10000, 50000, 100000};
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return 1;
    self[len] = '\0';

    std::vector<Run> idle(static_cast<size_t>(repeats));
    for (Run& r : idle)
        if (!runchild(self, "idle", "-", r))
            return 1;
    long idlekb = 0;
    {
        std::vector<long> kb;
        for (const Run& r : idle)
            kb.push_back(r.peakkb);
        idlekb = median(kb);
    }
    std::printf("idle process: %.1f MiB peak\n", idlekb / 1024.0);
    std::printf("%8s %9s %-7s %-27s %-27s %-24s %s\n", "tracks", "file MiB", "reader", "load ms (min-max)",
                "save ms (min-max)", "peak MiB (min-max)", "added / file (min-max)");
    for (int tracks : sizes) {
        std::string path = work + "/library-" + std::to_string(tracks) + ".xml";
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 && !makelibrary(path, tracks)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        stat(path.c_str(), &st);
        double filemib = double(st.st_size) / (1024.0 * 1024.0);
        for (const char* mode : {"batch", "helper", "update"}) {
            std::vector<double> load, save, peak, ratio;
            for (int k = 0; k < repeats; ++k) {
                // The update saves: it works on a copy, made outside the measurement.
                std::string input = path;
                if (std::strcmp(mode, "update") == 0) {
                    input = path + ".update";
                    if (std::system(("cp '" + path + "' '" + input + "'").c_str()) != 0)
                        return 1;
                }
                Run r;
                if (!runchild(self, mode, input, r)) {
                    std::fprintf(stderr, "%s reader failed on %s\n", mode, path.c_str());
                    return 1;
                }
                if (input != path)
                    unlink(input.c_str());
                load.push_back(r.load);
                save.push_back(r.save);
                peak.push_back(r.peakkb / 1024.0);
                ratio.push_back(double(r.peakkb - idlekb) * 1024.0 / double(st.st_size));
            }
            auto range = [](const std::vector<double>& v, const char* format) {
                char text[64];
                std::snprintf(text, sizeof text, format, median(v), *std::min_element(v.begin(), v.end()),
                              *std::max_element(v.begin(), v.end()));
                return std::string(text);
            };
            std::printf("%8d %9.1f %-7s %-27s %-27s %-24s %s\n", tracks, filemib, mode,
                        range(load, "%.0f (%.0f-%.0f)").c_str(),
                        std::strcmp(mode, "update") == 0 ? range(save, "%.0f (%.0f-%.0f)").c_str() : "-",
                        range(peak, "%.0f (%.0f-%.0f)").c_str(), range(ratio, "%.2f (%.2f-%.2f)").c_str());
            std::fflush(stdout);
        }
    }
    if (argc <= 2)
        std::system(("rm -rf '" + work + "'").c_str());
    return 0;
}
