// tempix-cli runs real batches over generated MP3, M4A, FLAC, Ogg and Opus
// files in a temporary HOME; what it wrote is read back with mutagen
// (read_tags.py) and plistlib.
#include "platform/settings/PreferenceStore.h"
#include "support/BatchLibraryText.h"
#include "support/Process.h"
#include "support/Readers.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using testsupport::readfile;
using testsupport::shellquote;

namespace {

const std::string CLI = TEMPIX_BINARY_DIR "/bin/tempix-cli";
const std::string MATERIAL = TEMPIX_MATERIAL_DIR;

const std::string UPDATED = "Track updated.";
const std::string UP_TO_DATE = "Track is up-to-date.";
const std::string LIBRARY_UPDATED = "iTunes updated.";
const std::string LIBRARY_UP_TO_DATE = "iTunes is up-to-date.";
const std::string OTHER_APP = "Data set by another application (use --overwrite-bpm to overwrite).";
const std::string FLAGS_ALL = std::to_string(0x51F), FLAGS_TEMPO = std::to_string(0x11F);

const char* const A = "beat128_stereo44_lame.mp3";
const char* const B = "beat100_mono44_aac.m4a";
const char* const C = "beat140_stereo44_noxing.mp3";

using Lines = std::vector<std::string>;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    Lines lines; // of out
};

// What another program reads from the file's tag.
std::map<std::string, std::string> readTrack(const fs::path& file) { return testsupport::mutagen(file, true); }

int shell(const std::string& command) { return std::system(command.c_str()); }

// Runs python code on a file, with mutagen at hand.
int python(const std::string& code, const fs::path& file)
{
    return shell(std::string(TEMPIX_PYTHON) + " -c " + shellquote("import sys, mutagen\n" + code) + " " +
                 shellquote(file.string()));
}

// The line after "Processing: path".
std::string outcomeOf(const Lines& lines, const fs::path& file)
{
    auto it = std::find(lines.begin(), lines.end(), "Processing: " + file.string());
    return it == lines.end() || it + 1 == lines.end() ? "(not processed)" : *(it + 1);
}

int count(const Lines& lines, const std::string& text) { return int(std::count(lines.begin(), lines.end(), text)); }

bool near(const std::string& value, int expected)
{
    return !value.empty() && std::abs(std::atoi(value.c_str()) - expected) <= 2;
}

// Every file and folder below a folder, by its name there, with the bytes of each file.
std::map<std::string, std::string> contents(const fs::path& folder)
{
    std::map<std::string, std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        all[fs::relative(e.path(), folder).string()] = e.is_regular_file() ? readfile(e.path()) : "(folder)";
    return all;
}

// A file URL as the library writes it: %-escapes for spaces and non-ASCII
// bytes, an entity for '&'.
std::string fileUrl(const fs::path& path, const std::string& prefix = "file://localhost")
{
    std::string out = prefix;
    for (unsigned char ch : path.string()) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", ch);
        out += ch == ' ' || ch >= 0x80 ? std::string(hex) : ch == '&' ? std::string("&#38;") : std::string(1, char(ch));
    }
    return out;
}

Lines without(const Lines& lines, const std::string& start)
{
    Lines out;
    for (const std::string& l : lines)
        if (l.rfind(start, 0) != 0)
            out.push_back(l);
    return out;
}

class BatchCli : public ::testing::Test {
protected:
    testsupport::TempDir scratch;
    fs::path home = scratch.root();
    fs::path music = home / "My Music";
    bool unprivileged = false; // run as nobody when the tests run as root
    std::string program = CLI;

    void SetUp() override { fs::create_directories(music); }

    fs::path copy(const std::string& material, const std::string& name, const fs::path& folder = {})
    {
        fs::path to = (folder.empty() ? music : folder) / name;
        fs::create_directories(to.parent_path());
        fs::copy_file(MATERIAL + "/" + material, to, fs::copy_options::overwrite_existing);
        return to;
    }

    // Runs tempix-cli in the temporary HOME. onLine sees each line of its
    // standard output as it comes, with the child's pid.
    Result run(const std::vector<std::string>& args,
               const std::function<void(const std::string&, pid_t)>& onLine = nullptr)
    {
        int out[2];
        if (pipe(out) != 0)
            return {};
        fs::path errFile = home / "stderr.txt";
        pid_t pid = fork();
        if (pid == 0) {
            // Permissions mean nothing to root; nobody has to respect them.
            if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(126);
            setenv("HOME", home.c_str(), 1);
            unsetenv("XDG_CONFIG_HOME");
            unsetenv("XDG_STATE_HOME");
            dup2(out[1], STDOUT_FILENO);
            FILE* err = std::fopen(errFile.c_str(), "w");
            if (err != nullptr)
                dup2(fileno(err), STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        Result r;
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
            r.out.append(buffer, size_t(n));
            pending.append(buffer, size_t(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
                r.lines.push_back(pending.substr(0, nl));
                if (onLine)
                    onLine(r.lines.back(), pid);
            }
        }
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        r.err = readfile(errFile);
        return r;
    }

    fs::path logFile() const { return home / ".local/state/tempix/Tempix.log"; }

    // Permissions mean nothing to root: as root, runs a copy of the programs
    // as nobody, where nobody can reach them (the checkout may lie in a
    // folder of root's), and gives everything in HOME to nobody. Called again
    // after new files are made.
    void becomeNobody()
    {
        if (geteuid() != 0)
            return;
        if (!unprivileged) {
            unprivileged = true;
            fs::create_directories(home / "programs/bin");
            const fs::path helpers = (home / "programs/bin" / TEMPIX_HELPERS_FROM_BIN).lexically_normal();
            fs::create_directories(helpers);
            fs::copy_file(CLI, home / "programs/bin/tempix-cli");
            fs::copy_file(TEMPIX_LIBEXEC_DIR "/osatender", helpers / "osatender");
            program = (home / "programs/bin/tempix-cli").string();
        }
        for (auto& entry : fs::recursive_directory_iterator(home))
            lchown(entry.path().c_str(), 65534, 65534);
        lchown(home.c_str(), 65534, 65534);
        chmod(home.c_str(), 0755);
    }

    // Settings as the desktop program or the library's player leave them, in HOME.
    template <class Write>
    void settings(const char* domain, Write write)
    {
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        ovra::PreferenceStore store(domain, false);
        write(store);
        store.synchronize();
        unsetenv("XDG_CONFIG_HOME");
    }

    // A library file listing the given locations as tracks 11, 12, ... (with
    // extra in each entry) in the playlist "Library", then the playlists given.
    static void writeLibrary(const fs::path& file, const Lines& locations, const std::string& extra = "",
                             const std::string& playlists = "")
    {
        testsupport::writefile(file, testsupport::libraryOf(locations, 11, extra, playlists));
    }
};

} // namespace

// MP3 and M4A material, and one track through the FLAC, Vorbis and Opus
// encoders each.
TEST_F(BatchCli, AFolderRunWritesEveryFormatAndASecondFindsThemUpToDate)
{
    fs::path a = copy(A, "a.mp3"), b = copy(B, "b.m4a"), c = copy(C, "sub/c.mp3");
    const std::string wav = shellquote((home / "a.wav").string());
    ASSERT_EQ(
        shell("ffmpeg -v error -i " + shellquote(MATERIAL + "/" + A) + " -map_metadata -1 -fflags +bitexact " + wav),
        0);
    const fs::path flac = music / "a.flac", ogg = music / "b.ogg", opus = music / "sub/c.OPUS",
                   classical = music / "d.opus";
    ASSERT_EQ(shell("flac -s -T Title=A -T GENRE=House -o " + shellquote(flac.string()) + " " + wav), 0);
    ASSERT_EQ(shell("oggenc -Q -c GENRE=House -o " + shellquote(ogg.string()) + " " + wav), 0);
    ASSERT_EQ(shell("opusenc --quiet --comment GENRE=House " + wav + " " + shellquote(opus.string())), 0);
    ASSERT_EQ(shell("opusenc --quiet --comment GENRE=Classical " + wav + " " + shellquote(classical.string())), 0);
    const std::string skipped = readfile(classical);

    Result r = run({"--adjust-volume", music.string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto lines = r.lines;
    ASSERT_EQ(lines.size(), 17u) << r.out;
    // The ctime text without its line feed, as in "Mon Dec  7 01:41:43 2026".
    ASSERT_EQ(lines[0].size(), 24u + 17u) << lines[0];
    EXPECT_EQ(lines[0].substr(24), ": Tempix started.");
    const std::string documents = (home / "Documents/iTunes/iTunes Music Library.xml").string();
    EXPECT_EQ(lines[1], "No iTunes library file found at '" + documents + "': processing tracks without library IDs.");
    EXPECT_EQ(lines[2].rfind("Looked for the iTunes library file at '" +
                                 (home / "Music/iTunes/iTunes Music Library.xml").string() + "', '" + documents + "'.",
                             0),
              0u)
        << lines[2];
    EXPECT_NE(r.err.find("Done"), std::string::npos);
    // The log file holds exactly what was printed.
    EXPECT_EQ(readfile(logFile()), r.out);
    EXPECT_EQ(outcomeOf(lines, classical), "Genre filter: skipping genre 'classical'.");
    EXPECT_EQ(readfile(classical), skipped);
    const std::pair<fs::path, int> written[] = {{a, 128}, {b, 100}, {c, 140}, {flac, 128}, {ogg, 128}, {opus, 128}};
    for (const auto& [f, bpm] : written) {
        EXPECT_EQ(outcomeOf(lines, f), UPDATED) << f;
        auto info = readTrack(f);
        EXPECT_TRUE(near(info["bpm"], bpm)) << f << " bpm " << info["bpm"];
        EXPECT_EQ(info["record_size"] + "/" + info["record_version"] + "/" + info["record_start_ms"] + "/" +
                      info["record_flags"] + "/" + info["record_bpm"] + "/" + info["record_sample_rate"],
                  "64/1/0/" + FLAGS_ALL + "/" + info["bpm"] + (f == opus ? "/48000" : "/44100"))
            << f;
    }

    // The second run must not analyse again: with the audio of a.mp3 wiped
    // out behind its tag, only the stored analysis can find it up to date.
    ASSERT_EQ(python("import mutagen.id3\nb = bytearray(open(sys.argv[1], 'rb').read())\n"
                     "n, e = mutagen.id3.ID3(sys.argv[1]).size, len(b) - (128 if b[-128:-125] == b'TAG' else 0)\n"
                     "assert 10 < n < e\nb[n:e] = bytes(e - n)\nopen(sys.argv[1], 'wb').write(b)",
                     a),
              0);
    const auto before = contents(music);

    r = run({"--adjust-volume", music.string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& [f, bpm] : written)
        EXPECT_EQ(outcomeOf(r.lines, f), UP_TO_DATE) << f;
    EXPECT_TRUE(contents(music) == before);

    // reprocess analyses again: a.mp3 now fails, the others come out the
    // same, and the same result leaves a file alone.
    r = run({"--adjust-volume", "--reprocess", music.string()});
    EXPECT_EQ(r.status, 1);
    for (const auto& [f, bpm] : written)
        EXPECT_EQ(outcomeOf(r.lines, f) == UP_TO_DATE, f != a) << f << outcomeOf(r.lines, f);
    EXPECT_NE(outcomeOf(r.lines, a), UPDATED);
    EXPECT_TRUE(contents(music) == before);
    EXPECT_NE(r.err.find("There were errors. Check the log file for details."), std::string::npos);

    // In a library run the volume of FLAC and Vorbis goes to the library, as for M4A files.
    const fs::path library = home / "lib.xml";
    writeLibrary(library, {fileUrl(flac), fileUrl(ogg)});
    r = run({"--library", "--library-file", library.string(), "--adjust-volume"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.lines, LIBRARY_UPDATED), 2) << r.out;
    std::istringstream entries(testsupport::plistquery(
        library,
        "for t in ('11', '12'): print(d['Tracks'][t].get('BPM'), d['Tracks'][t].get('Volume Adjustment', 0))"));
    for (const fs::path& f : {flac, ogg}) {
        auto info = readTrack(f);
        std::string bpm, volume;
        entries >> bpm >> volume;
        EXPECT_EQ(bpm, info["bpm"]) << f;
        EXPECT_TRUE(near(volume, int(std::lround(std::atol(info["record_volume"].c_str()) * 255.0 / 65535.0)))) << f;
    }

    r = run({"--dump", flac.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Implementation: Xiph\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Title: A\n"), std::string::npos) << r.out;
}

// Genres and tempos are another program's to set: the genre filter decides
// which tracks a batch takes, and a tempo another tagger wrote is left alone
// unless overwritten.
TEST_F(BatchCli, TheGenreFilterAndValuesWrittenByAnotherTagger)
{
    fs::path a = copy(A, "a.mp3"), b = copy(B, "b.m4a"), c = copy(C, "c.mp3");
    ASSERT_EQ(
        python("from mutagen.easyid3 import EasyID3\nt = EasyID3(sys.argv[1])\nt['genre'] = 'Classical'\nt.save()", c),
        0);
    // The list is taken in any case and with spaces; classical is left out
    // with it as without (see the first test).
    Lines lines = run({"--no-export", "--only-genres", " HOUSE ,\nsoul", music.string()}).lines;
    EXPECT_EQ(outcomeOf(lines, a), UPDATED);
    EXPECT_EQ(outcomeOf(lines, b), "Genre filter: skipping genre 'hip-hop'.");
    EXPECT_EQ(outcomeOf(lines, c), "Genre filter: skipping genre 'classical'.");
    EXPECT_EQ(readTrack(c).count("record_flags"), 0u);

    // Another program sets its own tempo.
    auto eyeD3 = [&](int bpm) {
        return shell("eyeD3 --quiet --bpm " + std::to_string(bpm) + " " + shellquote(a.string()) + " >/dev/null 2>&1");
    };
    ASSERT_EQ(eyeD3(99), 0);
    ASSERT_EQ(python("from mutagen.mp4 import MP4\nt = MP4(sys.argv[1])\nt['tmpo'] = [99]\nt.save()", b), 0);
    ASSERT_EQ(readTrack(a)["bpm"] + "/" + readTrack(b)["bpm"], "99/99");

    lines = run({"--no-export", music.string()}).lines;
    EXPECT_EQ(outcomeOf(lines, a), OTHER_APP);
    EXPECT_EQ(outcomeOf(lines, b), OTHER_APP);
    EXPECT_EQ(readTrack(a)["bpm"], "99");

    // With the volume still free the track goes on, but the tempo stays.
    lines = run({"--no-export", "--adjust-volume", music.string()}).lines;
    for (const fs::path& f : {a, b}) {
        EXPECT_EQ(outcomeOf(lines, f), UPDATED);
        auto info = readTrack(f);
        EXPECT_EQ(info["bpm"] + "/" + info["record_flags"] + "/" + info["record_bpm"],
                  "99/" + std::to_string(0x41F) + "/0");
    }

    EXPECT_EQ(outcomeOf(run({"--no-export", "--overwrite-bpm", music.string()}).lines, a), UPDATED);
    EXPECT_TRUE(near(readTrack(a)["bpm"], 128));
    EXPECT_TRUE(near(readTrack(b)["bpm"], 100));
    // The volume of the run before is still ours: this run did not look at it.
    EXPECT_EQ(readTrack(b)["record_flags"], FLAGS_ALL);

    // From then on the record vouches for the tempo, until another program changes it again.
    EXPECT_EQ(outcomeOf(run({"--no-export", music.string()}).lines, a), UP_TO_DATE);
    ASSERT_EQ(eyeD3(77), 0);
    EXPECT_EQ(outcomeOf(run({"--no-export", music.string()}).lines, a), OTHER_APP);
    EXPECT_EQ(readTrack(a)["bpm"], "77");
}

// A dry run of a library batch, then the batch it announced, a playlist of
// the library and a folder run of its tracks.
TEST_F(BatchCli, LibraryAndPlaylistRunsAndADryRunFirst)
{
    fs::path lib = home / "Library Folder";
    fs::create_directories(lib);
    // Each kind of tag: id3lib's, TagLib's (an ID3v2.4 tag) and the MP4 atoms.
    fs::path a = copy(A, "Rock & Roll.mp3"), b = copy(B, "Slow \xc3\xa9t\xc3\xa9.m4a"),
             c = copy("beat64_stereo48_ffmpeg.mp3", "plain.mp3");
    using testsupport::items, testsupport::playlist;
    writeLibrary(lib / "iTunes Library.xml",
                 {fileUrl(a), fileUrl(b, "file://"), fileUrl(c), "http://radio.example.com/live.mp3"},
                 "\t\t\t<key>BPM</key><integer>99</integer>\n",
                 playlist("Rock &amp; Roll", items({11})) + playlist("Rock &amp; Roll", items({13})) +
                     playlist("Empty", ""));
    // Where the library's own preferences say the library is.
    settings("com.apple.iTunes", [&](ovra::PreferenceStore& store) {
        store.setData("alis:1:iTunes Library Location", lib.c_str(), lib.string().size());
    });
    const std::vector<std::string> options = {"--library", "--optimize-times", "--adjust-volume"};
    std::vector<std::string> dry = options;
    dry.push_back("--dry-run");

    fs::remove(home / "stderr.txt");
    auto before = contents(home);
    Result d = run(dry);
    ASSERT_EQ(d.status, 0) << d.out << d.err;
    // Nothing but the log: no tag, no library, no journal, no settings.
    auto after = contents(home);
    for (const char* made :
         {".local", ".local/state", ".local/state/tempix", ".local/state/tempix/Tempix.log", "stderr.txt"})
        after.erase(made);
    EXPECT_TRUE(after == before);
    auto lines = d.lines;
    EXPECT_EQ(lines[1], "Dry run: nothing is written; the lines \"Would update\" say what a run would change.");
    EXPECT_EQ(count(lines, UPDATED) + count(lines, LIBRARY_UPDATED), 0) << d.out;

    Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    Lines log = r.lines;
    EXPECT_EQ(Lines(log.begin() + 1, log.end()),
              (Lines{"Processing: " + a.string(), UPDATED, LIBRARY_UPDATED, "Processing: " + b.string(), UPDATED,
                     LIBRARY_UPDATED, "Processing: " + c.string(), UPDATED, LIBRARY_UPDATED,
                     "File is not local: skipping 'http://radio.example.com/live.mp3'."}));
    // The script helper wrote the new values into the library file, as the
    // dry run said, and nothing it did not say.
    const std::string values = "for t in ('11', '12', '13'): print(' '.join(str(d['Tracks'][t].get(k, 0)) for k in "
                               "('BPM', 'Start Time', 'Stop Time', 'Volume Adjustment')))";
    std::istringstream library(testsupport::plistquery(lib / "iTunes Library.xml", values));
    for (const fs::path& f : {a, b, c}) {
        SCOPED_TRACE(f);
        auto info = readTrack(f);
        EXPECT_EQ(info["record_flags"], std::to_string(0x71F));
        EXPECT_LT(std::atoi(info["record_start_ms"].c_str()), std::atoi(info["record_stop_ms"].c_str()));
        auto it = std::find(lines.begin(), lines.end(), "Processing: " + f.string());
        ASSERT_TRUE(it != lines.end() && it + 2 < lines.end()) << d.out;
        EXPECT_EQ(it[1].rfind("Would update track: BPM 0 -> " + info["bpm"] + ", ", 0), 0u) << it[1];
        EXPECT_NE(it[1].find("analysis record added"), std::string::npos) << it[1];
        std::string bpm, start, stop, volume;
        library >> bpm >> start >> stop >> volume;
        EXPECT_EQ(it[2],
                  "Would update iTunes: BPM 99 -> " + bpm + ", Start Time 0 -> " + start + ", Stop Time 0 -> " + stop +
                      (volume == "0" ? "" : ", Volume Adjustment 0 -> " + volume) + ".");
        EXPECT_EQ(info["record_stop_ms"], stop);
    }

    // By the name as typed; of two playlists of that name the first counts.
    // Once written, a dry run finds the track and its entry as it would leave them.
    r = run({"--playlist", "Rock & Roll", "--optimize-times", "--adjust-volume", "--dry-run"});
    EXPECT_EQ(r.status, 0);
    log = r.lines;
    EXPECT_EQ(Lines(log.begin() + 2, log.end()), (Lines{"Processing: " + a.string(), UP_TO_DATE, LIBRARY_UP_TO_DATE}));

    // A folder run finds the same tracks by their paths; with fewer options
    // it finds them up to date.
    r = run({"--optimize-times", music.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count(r.lines, UP_TO_DATE), 3) << r.out;
    EXPECT_EQ(count(r.lines, LIBRARY_UP_TO_DATE), 3) << r.out;

    // Failures are said in the log and counted, as the exit status says: a
    // playlist without items or not found, a broken library file named on
    // the command line; a pipe named as the library is refused at once.
    std::ofstream(home / "broken.xml") << "<plist>\n<dict>\n<!-- comment -->\n</dict>\n";
    ASSERT_EQ(mkfifo((home / "fifo.xml").c_str(), 0644), 0);
    const std::string where = "Library file '" + (lib / "iTunes Library.xml").string() + "': ",
                      broken = (home / "broken.xml").string(), fifo = (home / "fifo.xml").string();
    const std::string notRead = "Error while reading iTunes database: error code ";
    // The whole log after its start line; standard error begins with what
    // went wrong.
    const std::pair<std::vector<std::string>, Lines> cases[] = {
        {{"--playlist", "Empty"}, {notRead + "20131.", where + "there is no \"Playlist Items\" entry."}},
        {{"--playlist", "Nowhere"}, {"Playlist not found: 'Nowhere'."}},
        {{"--library", "--library-file", broken},
         {notRead + "20111.",
          "Library file '" + broken + "': at line 3, there is a comment or declaration (\"<!\") inside the document."}},
        {{"--library", "--library-file", fifo},
         {notRead + "20132.", "Library file '" + fifo + "': it is not a regular file."}},
    };
    for (const auto& [args, log] : cases) {
        SCOPED_TRACE(args.back());
        r = run(args);
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.lines.empty());
        EXPECT_EQ(Lines(r.lines.begin() + 1, r.lines.end()), log);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), log[0].substr(0, log[0].find(':'))) << r.err;
    }
}

TEST_F(BatchCli, AFolderGivenThroughALinkFindsItsLibraryTracks)
{
    // The library names the files through a link; the folder is given by
    // another link. Both lead to the same files, so both must match.
    copy(A, "a.mp3");
    copy(B, "b.m4a");
    fs::create_directory_symlink(music, home / "Linked Music");
    fs::create_directory_symlink(music, home / "Other Link");
    fs::path lib = home / "library.xml";
    writeLibrary(lib, {fileUrl(home / "Linked Music/a.mp3"), fileUrl(home / "Linked Music/b.m4a")},
                 "\t\t\t<key>BPM</key><integer>123</integer>\n");
    // Times only: the library's own tempo of a file without one stays.
    Result r =
        run({"--no-detect-bpm", "--optimize-times", "--library-file", lib.string(), (home / "Other Link").string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.lines, LIBRARY_UPDATED), 2) << r.out;
    EXPECT_EQ(
        testsupport::plistquery(
            lib, "for t in ('11', '12'): print(d['Tracks'][t].get('Stop Time', 0) > 0, d['Tracks'][t].get('BPM'))"),
        "True 123\nTrue 123\n");
}

// Ctrl-C with one job stops between tracks; with three in flight, too: every
// file is as it was or as a whole run leaves it, and decodes, and the log
// names every file that changed.
TEST_F(BatchCli, CtrlCLeavesEveryFileAsItWasOrWhole)
{
    fs::path orig = home / "orig";
    for (int i = 0; i < 8; ++i)
        copy(i % 2 ? B : A, "t" + std::to_string(i) + (i % 2 ? ".m4a" : ".mp3"), orig);
    auto fresh = [&] {
        fs::remove_all(music);
        fs::copy(orig, music);
    };
    fresh();
    ASSERT_EQ(run({"--no-export", "--jobs", "1", music.string()}).status, 0);
    auto written = contents(music), before = contents(orig);

    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(jobs);
        fresh();
        int processing = 0;
        Result r = run({"--no-export", "--jobs", jobs, music.string()}, [&](const std::string& line, pid_t pid) {
            if (line.rfind("Processing: ", 0) == 0 && ++processing == 2)
                kill(pid, SIGINT);
        });
        EXPECT_EQ(r.status, 130) << r.out << r.err;
        EXPECT_NE(r.err.find("Cancelled."), std::string::npos);
        EXPECT_EQ(r.err.find("Done"), std::string::npos);
        auto lines = r.lines;
        // With one job, no track starts after the one in progress.
        EXPECT_TRUE(jobs != std::string("1") || lines.size() - without(lines, "Processing: ").size() == 2) << r.out;
        int changed = 0;
        for (const auto& [name, bytes] : contents(music)) {
            EXPECT_TRUE(bytes == before[name] || bytes == written[name]) << name;
            EXPECT_EQ(
                shell("ffmpeg -v error -xerror -i " + shellquote((music / name).string()) + " -f null - 2>/dev/null"),
                0)
                << name;
            if (bytes != before[name]) {
                ++changed;
                EXPECT_EQ(outcomeOf(lines, music / name), UPDATED) << name;
            }
        }
        EXPECT_LT(changed, 8); // cancelled before the end
    }
}

// Names no encoding fits, links that lead nowhere or round, pipes, devices,
// folders too deep and names too long: each is said in the log and the batch
// goes on.
TEST_F(BatchCli, BadInputIsLoggedAndLeftAsItWas)
{
    fs::path odd = copy(A, "odd \xff\xfe name.mp3");
    fs::create_symlink(home / "nowhere.mp3", music / "gone.mp3");
    fs::create_directory_symlink(music, music / "loop");
    // A pipe and a device named like tracks would block the batch or never end.
    ASSERT_EQ(mkfifo((music / "pipe.mp3").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", music / "zero.mp3");
    fs::path forged = copy(A, "x.mp3\nTrack updated.\nProcessing: y.mp3");
    fs::path deepest = music / "d/d/d/d/d/d/d/d/d/d/d/d/d/d/d";
    fs::path tooDeep = copy(A, "deep.mp3", deepest / "d");

    Result r = run({"--no-export", music.string()});
    EXPECT_EQ(r.status, 1) << r.out;
    auto lines = r.lines;
    EXPECT_EQ(outcomeOf(lines, odd), UPDATED);
    EXPECT_EQ(outcomeOf(lines, music / "gone.mp3"), "Could not read metadata for this track.");
    EXPECT_EQ(outcomeOf(lines, tooDeep), "(not processed)");
    EXPECT_EQ(count(lines, "Folder more than 16 levels deep: skipping '" + (deepest / "d").string() + "'."), 1);
    EXPECT_EQ(outcomeOf(lines, music / "pipe.mp3"), "Not a regular file (a named pipe): skipping this track.");
    EXPECT_EQ(outcomeOf(lines, music / "zero.mp3"), "Not a regular file (a character device): skipping this track.");
    // A line feed in a name stays inside its line.
    EXPECT_EQ(outcomeOf(lines, music / "x.mp3\\nTrack updated.\\nProcessing: y.mp3"), UPDATED);
    EXPECT_EQ(count(lines, "Processing: y.mp3"), 0);
    EXPECT_TRUE(near(readTrack(forged)["bpm"], 128));

    // A library's track whose name no file system takes is no damaged file.
    writeLibrary(home / "long.xml", {fileUrl(music / (std::string(300, 'n') + ".mp3"))});
    r = run({"--no-export", "--library", "--library-file", (home / "long.xml").string()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Could not read metadata for this track.\nError code 36: File name too long.\n"),
              std::string::npos)
        << r.out;
}

// Wrong usage changes nothing and says how to call the program; files and
// folders come in any order among the options, and a file name may look like
// an option.
TEST_F(BatchCli, TheCommandLine)
{
    fs::path a = copy(A, "a.mp3"), b = copy(B, "sub/b.m4a"), c = copy(C, "other/c.mp3");
    const std::string before = readfile(a), missing = (home / "missing").string();
    int shown = 0;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--no-such-option"},
                                               {"--all-genres", "--only-genres", "x", music.string()},
                                               {a.string(), missing},
                                               {"--library", "--map-location", "relative=folder"},
                                               {"--analyze", "--dump", a.string()},
                                               {"--playlist", std::string(80, 'p')}}) {
        SCOPED_TRACE((args.empty() ? "(none)" : args[0]) + " " + std::to_string(args.size()));
        Result r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        // What is wrong, on standard error; for the first three, the help
        // too, naming the program as it is called.
        EXPECT_EQ(r.err.rfind("tempix-cli: ", 0) == 0, !args.empty()) << r.err;
        EXPECT_EQ(r.err.find("Usage: tempix-cli [OPTIONS]") != std::string::npos, ++shown <= 3) << r.err;
    }
    EXPECT_EQ(readfile(a), before);
    EXPECT_FALSE(fs::exists(logFile()));

    // Any number of files and folders are the tracks of one batch.
    Result r = run({c.string(), "--no-export", (music / "sub").string(), a.string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const fs::path& f : {a, b, c})
        EXPECT_EQ(outcomeOf(r.lines, f), UPDATED) << f;
    EXPECT_EQ(readTrack(c)["record_flags"], FLAGS_TEMPO);

    // --json before --analyze, and a file that looks like an option after "--".
    fs::path lead = copy("short_3s.mp3", "-lead.mp3");
    r = run({"--json", "--analyze", "--", lead.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"path\":\"" + lead.string() + "\",\"error\":\"Track too short (3.000 s).\"}\n");
    fs::current_path(music);
    EXPECT_EQ(run({"--analyze", "--", "-lead.mp3"}).err, "-lead.mp3: Track too short (3.000 s).\n");
}

// What a batch did, on the terminal: a summary line, the values written with
// -v, only errors and the summary with -q, and with --json one object per
// track and a summary object that agree with the files.
TEST_F(BatchCli, TheTerminalShowsWhatEachTrackGotAndJsonListsItAsData)
{
    fs::path a = copy(A, "a.mp3");
    fs::path bad = copy("not_audio.mp3", "bad.mp3");
    // A listing reads the tags, decodes nothing and changes nothing.
    const std::string before = readfile(a);
    Result list = run({"--list", music.string()});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(a.string() + "\tBPM 0\tno stored analysis\n"), std::string::npos) << list.out;
    EXPECT_NE(list.err.find("2 tracks, 0 with a stored analysis"), std::string::npos) << list.err;
    EXPECT_EQ(readfile(a), before);

    // A path after --map-location is a path, not a second mapping.
    Result dry = run({"-n", "--no-export", "--map-location", "C:\\Music=/tmp", "--adjust-volume", music.string()});
    EXPECT_EQ(dry.status, 1);
    EXPECT_NE(dry.out.find("Would update track: BPM 0 -> 128"), std::string::npos) << dry.out;
    EXPECT_NE(dry.err.find("1 would update, 0 up to date, 0 skipped, 1 error (2 tracks, 0:0"), std::string::npos)
        << dry.err;

    Result r = run({"-v", "--no-export", "--adjust-volume", "-j", "1", music.string()});
    EXPECT_EQ(r.status, 1);
    const std::string values = "Track updated.\n  BPM 128 \u00b7 volume ";
    EXPECT_NE(r.out.find(values), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Could not open track with QuickTime.\nThe decoder (FFmpeg) says: "), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("1 updated, 0 up to date, 0 skipped, 1 error (2 tracks, 0:0"), std::string::npos) << r.err;

    Result quiet = run({"-q", "--no-export", "--adjust-volume", music.string()});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_NE(quiet.err.find(bad.string() + ": Could not open track with QuickTime. The decoder (FFmpeg) says: "),
              std::string::npos)
        << quiet.err;
    EXPECT_NE(quiet.err.find("0 updated, 1 up to date, 0 skipped, 1 error (2 tracks, "), std::string::npos)
        << quiet.err;

    // The log still gets everything; standard output only the objects.
    const size_t logged = readfile(logFile().string()).size();
    Result json = run({"--json", "--no-export", "--adjust-volume", music.string()});
    EXPECT_EQ(json.status, 1);
    EXPECT_GT(readfile(logFile().string()).size(), logged);
    testsupport::writefile((home / "out.json").string(), json.out);
    const auto tags = readTrack(a);
    EXPECT_EQ(testsupport::pythonoutput(
                  "import json, sys\nrows = [json.loads(l) for l in open(sys.argv[1])]\n"
                  "t = {r['path']: r for r in rows if 'path' in r}\ns = rows[-1]['summary']\n"
                  "a, b = t[sys.argv[2]], t[sys.argv[3]]\n"
                  "print(len(rows), a['outcome'], a['after']['bpm'], a['before']['bpm'], 'volume_percent' in "
                  "a['after'], b['outcome'], b['error'].startswith('Could not open track'), s['up_to_date'], "
                  "s['errors'], s['tracks'])",
                  {(home / "out.json").string(), a.string(), bad.string()}),
              "3 up to date " + tags.at("bpm") + " " + tags.at("bpm") + " True error True 1 1 2\n");
}

// The same library batch with one job and with three (more than the cores,
// to shake the order): MP3 and M4A tracks, one file listed under two names
// one after the other, and failures of every kind, each left as it was.
TEST_F(BatchCli, SeveralJobsGiveTheSameLogFilesAndLibraryAsOne)
{
    fs::path orig = home / "orig";
    copy(A, "a.mp3", orig);
    copy(B, "b.m4a", orig);
    copy(C, "c.mp3", orig);
    copy("beat174_stereo48_aac.m4a", "d.m4a", orig);
    copy("beat85_mono48_lame.mp3", "e.mp3", orig);
    copy("not_audio.mp3", "corrupt.mp3", orig);
    copy("short_3s.mp3", "short.mp3", orig);
    copy(A, "readonly.mp3", orig);
    copy(B, "readonly.m4a", orig);
    copy(C, "unreadable.mp3", orig);
    // A fragmented MP4 cannot be updated safely: refused and left alone.
    ASSERT_EQ(shell("ffmpeg -v error -i " + shellquote(MATERIAL + "/" + B) +
                    " -c copy -movflags frag_keyframe+empty_moov -y " + shellquote((orig / "fragmented.m4a").string())),
              0);
    Lines locations;
    for (const char* name : {"a.mp3", "alias.mp3", "b.m4a", "corrupt.mp3", "c.mp3", "missing.mp3", "d.m4a",
                             "readonly.mp3", "fragmented.m4a", "short.mp3", "readonly.m4a", "unreadable.mp3", "e.mp3"})
        locations.push_back(fileUrl(music / name));
    const fs::path library = home / "library.xml";

    struct Outcome {
        int status;
        Lines log;
        std::map<std::string, std::string> files;
        std::string library;
    };
    auto runWith = [&](const std::string& jobs) {
        fs::remove_all(music);
        fs::copy(orig, music);
        fs::create_hard_link(music / "a.mp3", music / "alias.mp3");
        for (const char* name : {"readonly.mp3", "readonly.m4a"})
            fs::permissions(music / name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        writeLibrary(library, locations);
        becomeNobody();
        fs::permissions(music / "unreadable.mp3", fs::perms::none);
        Result r = run(
            {"--library", "--library-file", library.string(), "--optimize-times", "--adjust-volume", "--jobs", jobs});
        fs::permissions(music / "unreadable.mp3", fs::perms::owner_read);
        // All but the start line, which holds the time.
        Lines log = r.lines;
        return Outcome{r.status, Lines(log.begin() + 1, log.end()), contents(music), readfile(library)};
    };
    Outcome one = runWith("1");
    Outcome three = runWith("3");

    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(three.status, one.status);
    EXPECT_EQ(three.log, one.log);
    EXPECT_TRUE(three.files == one.files);
    EXPECT_EQ(three.library, one.library);
    // The run went through every kind of track; a read-only track opens for
    // reading and fails when it is written back.
    const std::string denied = "Could not write tag to file: error code 13.";
    for (auto [name, outcome] :
         std::map<std::string, std::string>{{"alias.mp3", UP_TO_DATE},
                                            {"e.mp3", UPDATED},
                                            {"corrupt.mp3", "Could not open track with QuickTime."},
                                            {"missing.mp3", "Could not read metadata for this track."},
                                            {"unreadable.mp3", "Could not read metadata for this track."},
                                            {"readonly.mp3", denied},
                                            {"readonly.m4a", denied},
                                            {"short.mp3", "Track too short (3.000 s)."}})
        EXPECT_EQ(outcomeOf(one.log, music / name), outcome) << name;
    EXPECT_EQ(
        outcomeOf(one.log, music / "fragmented.m4a").rfind("Could not write tag to file: a fragmented MP4 file", 0),
        0u);
    // Each entry of a track written or found up to date, alias.mp3's too.
    EXPECT_EQ(count(one.log, LIBRARY_UPDATED), 6);
    for (const char* name :
         {"corrupt.mp3", "unreadable.mp3", "readonly.mp3", "readonly.m4a", "short.mp3", "fragmented.m4a"})
        EXPECT_EQ(one.files[name], readfile(orig / name)) << name;
}

TEST_F(BatchCli, ALibraryFromWindowsMappedToAFolderIsUpdatedAsALocalOne)
{
    // The same two files in two folders: one named by a library of local
    // paths, one by a library written on Windows, whose names differ in case
    // from the files here and carry entities and escapes.
    const std::string song = "rock & roll/Song \xc3\xa9.mp3", other = "rock & roll/B.m4a";
    fs::path local = home / "local", win = home / "win";
    for (const fs::path& folder : {local, win}) {
        copy(A, song, folder);
        copy(B, other, folder);
    }
    writeLibrary(home / "local.xml", {fileUrl(local / song), fileUrl(local / other)});
    writeLibrary(home / "win.xml",
                 {"file://localhost/C:/Users/anna/Music/Rock%20&amp;%20Roll/Song%20&#233;.mp3",
                  "file://localhost/C:/Users/anna/Music/Rock%20&#38;%20Roll/b.m4a"});
    Result l =
        run({"--library", "--optimize-times", "--adjust-volume", "--library-file", (home / "local.xml").string()});
    Result w = run({"--library", "--optimize-times", "--adjust-volume", "--library-file", (home / "win.xml").string(),
                    "--map-location", "C:\\Users\\Anna\\Music=" + win.string()});
    ASSERT_EQ(l.status, 0) << l.out;
    ASSERT_EQ(w.status, 0) << w.out;
    // The same outcome, line for line, but for the paths and the mapping's line.
    Lines expected = without(l.lines, "Processing: ");
    expected[0] = "Location mapping: 'C:\\Users\\Anna\\Music=" + win.string() + "'.";
    Lines mapped = without(w.lines, "Processing: ");
    ASSERT_FALSE(mapped.empty()) << w.out;
    EXPECT_EQ(Lines(mapped.begin() + 1, mapped.end()), expected);
    EXPECT_EQ(count(w.lines, LIBRARY_UPDATED), 2) << w.out;
    for (const std::string& f : {song, other}) {
        EXPECT_EQ(outcomeOf(w.lines, win / f), UPDATED) << w.out;
        EXPECT_EQ(readTrack(win / f), readTrack(local / f)) << f;
    }
    // The libraries differ only in their locations, which stay as they were.
    const std::string entries = "for t in ('11', '12'): print(sorted((k, v) for k, v in d['Tracks'][t].items() if k != "
                                "'Location'))\nprint([d['Tracks'][t]['Location'] for t in ('11', '12')])";
    std::string a = testsupport::plistquery(home / "local.xml", entries),
                b = testsupport::plistquery(home / "win.xml", entries);
    EXPECT_EQ(a.substr(0, a.rfind('[')), b.substr(0, b.rfind('[')));
    EXPECT_NE(a.find("Stop Time"), std::string::npos);
    EXPECT_EQ(b.substr(b.rfind('[')),
              "['file://localhost/C:/Users/anna/Music/Rock%20&%20Roll/Song%20\xc3\xa9.mp3', "
              "'file://localhost/C:/Users/anna/Music/Rock%20&%20Roll/b.m4a']\n");

    // Kept in the settings, the mapping serves a folder run too: the files
    // are found as the library's tracks, whose values it now holds.
    settings("com.quillfen.tempix", [&](ovra::PreferenceStore& store) {
        store.setString("locationmaps", ("file:///C:/Users/anna/Music/=" + win.string() + "\n").c_str());
    });
    Result f = run({"--optimize-times", "--library-file", (home / "win.xml").string(), win.string()});
    EXPECT_EQ(f.status, 0) << f.out;
    EXPECT_EQ(count(f.lines, UP_TO_DATE), 2) << f.out;
    EXPECT_EQ(count(f.lines, LIBRARY_UP_TO_DATE), 2) << f.out;
}

// A library from another computer: the log says where its tracks were and how
// to map them; a name that fits two files here is not guessed.
TEST_F(BatchCli, LocationsNotFoundHereAreSaidWithTheirCommonPrefixAndAmbiguousOnesSkipped)
{
    const std::string windows = "file://localhost/C:/Users/anna/Music/";
    fs::path lib = home / "lib.xml";
    writeLibrary(lib,
                 {windows + "One/a.mp3", windows + "One/b.mp3", windows + "Two/twin.MP3",
                  "file://localhost/D:/Elsewhere/c.mp3"});
    Result r = run({"--library", "--library-file", lib.string()});
    EXPECT_EQ(r.status, 1);
    auto lines = r.lines;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.end()[-2],
              "None of the library's tracks was found on this computer; most of its locations begin "
              "with '" +
                  windows + "'.");
    EXPECT_NE(lines.back().find("--map-location '" + windows + "=FOLDER'"), std::string::npos) << lines.back();

    // Mapped, a name that two files here match when case is ignored is
    // skipped, and both files stay as they were.
    fs::path x = copy(A, "Two/twin.mp3"), y = copy(A, "Two/TWIN.mp3");
    const std::string before = readfile(x);
    r = run({"--library", "--library-file", lib.string(), "--map-location", windows + "=" + music.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count(r.lines,
                    "More than one file here matches '" + (music / "Two/twin.MP3").string() +
                        "' when case is ignored ('TWIN.mp3' and 'twin.mp3'): skipping '" + windows + "Two/twin.MP3'."),
              1)
        << r.out;
    EXPECT_EQ(readfile(x), before);
    EXPECT_EQ(readfile(y), before);
    // Streams cannot be mapped: no hint for them.
    writeLibrary(lib, {"http://radio.example.com/a.mp3", "http://radio.example.com/b.mp3"});
    r = run({"--library", "--library-file", lib.string()});
    EXPECT_EQ(r.lines.back(), "File is not local: skipping 'http://radio.example.com/b.mp3'.");
}

// Playlist files as the batch's source: entries in their order, whatever form
// they are written in; what gives no track is said once and counted.
TEST_F(BatchCli, PlaylistFilesGiveTheirTracksInTheirOrder)
{
    // The forms of an entry and of a list's text are checked on the reader
    // (PlaylistFile); here the batch's order, its log lines and its count.
    const fs::path a = copy(A, "a.mp3"), b = copy(B, "b.m4a"), c = copy(C, "Caf\xC3\xA9 Del Mar/c 1.mp3"),
                   d = copy(A, "Elsewhere/Album/d.mp3"), f = copy(B, "win/f.m4a");
    const fs::path lists = home / "Lists";
    fs::create_directories(lists);
    const std::string gone = (music / "gone.mp3").string();

    // UTF-8 with a BOM and CRLF: relative, absolute, URL (%20, non-ASCII),
    // missing, stream, a track listed again (as a URL), a mapped prefix.
    std::ofstream(lists / "mix.m3u8", std::ios::binary)
        << "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:180,Artist - A\r\n../My Music/a.mp3\r\n"
        << b.string() << "\r\n"
        << fileUrl(c, "file://") << "\r\n"
        << gone << "\r\n"
        << "http://radio.example/live.mp3\r\n"
        << fileUrl(a, "file://") << "\r\n"
        << "/Users/anna/Music/Album/d.mp3\r\n";
    std::ofstream(lists / "radio.pls") << "[playlist]\nFile2=../My Music/b.m4a\nFile1=../My Music/win/f.m4a\n";
    const fs::path mapped = music / "Elsewhere";

    Result r = run({"--no-export", (lists / "mix.m3u8").string(), (lists / "radio.pls").string(), "--map-location",
                    "/Users/anna/Music=" + mapped.string()});
    ASSERT_EQ(r.status, 1) << r.out << r.err; // the missing entry is an error
    // The whole log in the lists' order: b twice, once from each list (a
    // list takes a track once, the batch each list), up to date the second time.
    const std::string p = "Processing: ";
    EXPECT_EQ(
        Lines(r.lines.begin() + 1, r.lines.end()),
        (Lines{"Location mapping: '/Users/anna/Music=" + mapped.string() + "'.",
               "Reading playlist '" + (lists / "mix.m3u8").string() + "': 7 entries.", p + a.string(), UPDATED,
               p + b.string(), UPDATED, p + c.string(), UPDATED, "Playlist entry not found: skipping '" + gone + "'.",
               "Playlist entry is a stream, not a file: skipping 'http://radio.example/live.mp3'.",
               "Playlist entry listed before: skipping '" + fileUrl(a, "file://") + "'.", p + d.string(), UPDATED,
               "Reading playlist '" + (lists / "radio.pls").string() + "': 2 entries.", p + f.string(), UPDATED,
               p + b.string(), UP_TO_DATE}));
    EXPECT_TRUE(near(readTrack(c)["bpm"], 140)) << readTrack(c)["bpm"];

    // A file that is no track is named with every format.
    std::ofstream(lists / "notes.txt") << "x";
    r = run({"--no-export", (lists / "notes.txt").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        count(r.lines, "Not an MP3, M4A, FLAC, Ogg or Opus file: skipping '" + (lists / "notes.txt").string() + "'."),
        1)
        << r.out;
}
