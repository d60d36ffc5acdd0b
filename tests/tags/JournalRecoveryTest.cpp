// What happens around the journal of an interrupted update, with real
// tempix-cli processes stopped inside their update (TEMPIX_WRITE_FAULT): a
// track whose folder is away, damaged journals, a finished update that
// another program edited, a second Tempix on the same track, a failed undo,
// and journal folders that cannot be used. No torn track is ever called up
// to date.
#include "TagTestSupport.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tagtest::TempDir;
namespace fs = std::filesystem;

using tagtest::says;

namespace {

// A home of its own (settings, log, journals) with a music folder, and a FLAC
// track in it whose update moves the whole file (no padding), so that a kill
// can leave it half-written.
class Home {
public:
    TempDir dir;
    const std::string music = dir.path("music");
    const std::string track = music + "/track.flac";
    std::vector<uint8_t> original, updated;

    explicit Home(bool padding = false)
    {
        fs::create_directories(music);
        const std::string made = dir.path("made.flac");
        EXPECT_EQ(tagtest::run("ffmpeg -v error -i " +
                               tagtest::shellquote(std::string(TEMPIX_MATERIAL_DIR) + "/beat128_stereo44_lame.mp3") +
                               " -c:a flac " + tagtest::shellquote(made)),
                  0);
        if (!padding) {
            EXPECT_EQ(
                tagtest::run("metaflac --remove --block-type=PADDING --dont-use-padding " + tagtest::shellquote(made)),
                0);
        }
        original = tagtest::readbytes(made);
        reset();
        EXPECT_EQ(batch(), 0);
        updated = tagtest::readbytes(track);
        reset();
    }
    void reset() { tagtest::writebytes(track, original); } // in place: the same inode

    int cli(const std::string& arguments, std::string* out = nullptr) const
    {
        return tagtest::run(tagtest::cli(dir) + arguments + " 2>&1", out);
    }
    std::string batchline(const std::string& fault = "") const { return tagtest::batch(dir, music, fault); }
    int batch(std::string* out = nullptr, const std::string& fault = "") const
    {
        return tagtest::run(batchline(fault) + " 2>&1", out);
    }
    std::string journalfolder() const { return dir.path("state") + "/tempix/journal"; }
    std::vector<std::string> journals() const
    {
        std::vector<std::string> out;
        std::error_code none;
        for (const auto& entry : fs::directory_iterator(journalfolder(), none))
            out.push_back(entry.path());
        return out;
    }
    bool torn() const
    {
        const std::vector<uint8_t> now = tagtest::readbytes(track);
        return now != original && now != updated;
    }
    // The original track and no journal.
    void clear()
    {
        reset();
        for (const std::string& j : journals())
            fs::remove(j);
    }
    // The first write-type call at which a kill leaves the track half-written
    // (when torn), or complete with its journal still there (when not).
    int killpoint(bool torn)
    {
        for (int k = 1; k < 60; ++k) {
            clear();
            if (batch(nullptr, "die:" + std::to_string(k)) != 137)
                break;
            const bool found = torn ? this->torn() : tagtest::readbytes(track) == updated && !journals().empty();
            if (found)
                return k;
        }
        ADD_FAILURE() << "no kill point leaves the track so";
        return 0;
    }
};

} // namespace

TEST(JournalRecovery, AJournalWaitsForItsTrackAndIsReplayedWhenItIsBack)
{
    Home home;
    home.killpoint(true);
    ASSERT_TRUE(home.torn());

    // The folder is away (an unmounted volume): the journal stays, each start says so.
    fs::rename(home.music, home.dir.path("away"));
    fs::create_directories(home.music);
    std::string out;
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(home.batch(&out), 0) << out;
        says(out,
             {"Could not restore " + home.track + " after an interrupted tag update: the file is gone.",
              "is kept, and the file is restored when it is back"});
        EXPECT_EQ(home.journals().size(), 1u);
    }
    EXPECT_EQ(home.cli("--journal", &out), 0);
    says(out, {home.track + "\n  journal: ", "waiting for the track, which is not there"});

    // Back as a copy (another inode, as after a copy or a remount of another
    // kind): recognised by its bytes, restored, then updated.
    fs::remove(home.music);
    fs::create_directories(home.music);
    fs::copy_file(home.dir.path("away") + "/track.flac", home.track);
    EXPECT_EQ(home.batch(&out), 0) << out;
    says(out, {"Restored " + home.track + " to its state before an interrupted tag update.", "Track updated."});
    EXPECT_EQ(tagtest::readbytes(home.track), home.updated);
    EXPECT_TRUE(home.journals().empty());
    EXPECT_EQ(tagtest::run("flac -s -t " + tagtest::shellquote(home.track)), 0);
}

TEST(JournalRecovery, ADamagedJournalKeepsItsTrackReportedUntilItIsForgotten)
{
    Home home;
    home.killpoint(true);
    ASSERT_EQ(home.journals().size(), 1u);
    const std::string journal = home.journals()[0];
    const std::vector<uint8_t> torn = tagtest::readbytes(home.track);
    const std::vector<uint8_t> good = tagtest::readbytes(journal);
    const size_t n = good.size();

    struct Damage {
        std::string name;
        std::function<void(std::vector<uint8_t>&)> apply;
    };
    std::vector<Damage> damages;
    // Cut short at every kind of place: nothing left, inside the magic, the
    // fixed head, the track's name, the tables, the saved bytes, the new
    // bytes, the checksum, the end mark.
    for (size_t at : {size_t(0), size_t(3), size_t(40), size_t(90), size_t(300), n / 3, n / 2, n - 17, n - 9, n - 1})
        damages.push_back({"cut at " + std::to_string(at), [at](std::vector<uint8_t>& b) { b.resize(at); }});
    // One bit flipped in each of them.
    for (size_t at : {size_t(2), size_t(20), size_t(50), size_t(80), size_t(400), n / 3, n / 2 + 5, n - 12, n - 3})
        damages.push_back({"bit flipped at " + std::to_string(at), [at](std::vector<uint8_t>& b) { b[at] ^= 0x10; }});
    damages.push_back({"a byte appended", [](std::vector<uint8_t>& b) { b.push_back(0); }});

    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        tagtest::writebytes(home.track, torn);
        std::vector<uint8_t> bytes = good;
        d.apply(bytes);
        tagtest::writebytes(journal, bytes);
        ASSERT_EQ(chmod(journal.c_str(), 0700), 0);
        std::string out;
        // The start says which track, the batch reports it; every later batch too.
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(home.batch(&out), 1) << out;
            if (run == 0)
                says(out, {"may be damaged by an interrupted tag update: its journal"});
            says(out,
                 {"Track left as it is: it may be damaged by an interrupted update; its journal could not be read"});
            says(out, {"Track is up-to-date.", "Track updated."}, false);
        }
        EXPECT_EQ(tagtest::readbytes(home.track), torn) << "left as it is";
        EXPECT_EQ(home.cli("--journal", &out), 0);
        says(out, {"damaged"});
        // Forgotten only when asked, and with --yes where nobody can answer.
        EXPECT_EQ(home.cli("--journal-discard " + tagtest::shellquote(home.track) + " < /dev/null", &out), 2) << out;
        EXPECT_EQ(home.journals().size(), 1u);
        EXPECT_EQ(home.cli("--journal-discard " + tagtest::shellquote(home.track) + " --yes", &out), 0) << out;
        EXPECT_TRUE(home.journals().empty());
        EXPECT_EQ(home.cli("--journal", &out), 0);
        says(out, {"No interrupted tag update is waiting"});
    }

    // A symbolic link in place of the journal is not followed, and reported.
    tagtest::writebytes(home.track, torn);
    fs::remove(journal);
    tagtest::writebytes(home.dir.path("elsewhere.journal"), good);
    fs::create_symlink(home.dir.path("elsewhere.journal"), journal);
    std::string out;
    EXPECT_EQ(home.batch(&out), 1) << out;
    says(out,
         {"The journal " + journal + " is a symbolic link: it was not followed",
          "Track left as it is: it may be damaged by an interrupted update; its journal is a symbolic link."});
    EXPECT_EQ(tagtest::readbytes(home.track), torn);
    EXPECT_EQ(tagtest::readbytes(home.dir.path("elsewhere.journal")), good) << "what it points at is untouched";

    // Undamaged, the same journal restores the track.
    fs::remove(journal);
    tagtest::writebytes(journal, good);
    ASSERT_EQ(chmod(journal.c_str(), 0700), 0);
    EXPECT_EQ(home.batch(&out), 0) << out;
    says(out, {"Restored " + home.track});
    EXPECT_EQ(tagtest::readbytes(home.track), home.updated);
}

TEST(JournalRecovery, AFinishedUpdateThatAnotherProgramEditedIsLeftAlone)
{
    Home home(true); // the comment fits the padding: mutagen edits in place, at the same length
    home.killpoint(false);
    ASSERT_EQ(home.journals().size(), 1u) << "stopped between the track's flush and the journal's removal";
    ASSERT_EQ(tagtest::run(std::string(TEMPIX_PYTHON) + " -c " +
                           tagtest::shellquote("import sys, mutagen.flac\nf = mutagen.flac.FLAC(sys.argv[1])\n"
                                               "f['TITLE'] = 'Edited elsewhere'\nf['COMMENT'] = 'kept'\nf.save()") +
                           " " + tagtest::shellquote(home.track)),
              0);
    const std::vector<uint8_t> edited = tagtest::readbytes(home.track);
    ASSERT_EQ(edited.size(), home.updated.size());
    std::string out;
    EXPECT_EQ(home.batch(&out), 0) << out;
    says(out,
         {"Left " + home.track + " as it is: Tempix had finished updating it, and another program changed it since",
          "Track is up-to-date."});
    says(out, {"Restored"}, false);
    EXPECT_EQ(tagtest::readbytes(home.track), edited);
    EXPECT_EQ(testsupport::pythonoutput("import sys, mutagen.flac\nf = mutagen.flac.FLAC(sys.argv[1])\n"
                                        "print(f['TITLE'][0], f['COMMENT'][0], f['BPM'][0], 'TEMPIX_ANALYSIS' in f)",
                                        {home.track}),
              "Edited elsewhere kept 128 True\n");
    EXPECT_TRUE(home.journals().empty());
}

TEST(JournalRecovery, ASecondTempixWaitsForTheFirstAndSettlesItsJournal)
{
    Home home;
    const int k = home.killpoint(true);
    home.clear();
    // A stops itself in the middle of its update (torn track, live journal):
    // paused after the kill point's write, done in full.
    pid_t a = tagtest::spawn(home.batchline("pause:" + std::to_string(k + 1)) + " > /dev/null 2>&1");
    ASSERT_GE(a, 0);
    int status = 0;
    for (int i = 0; i < 600 && !home.torn(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(waitpid(a, &status, WUNTRACED), a);
    ASSERT_TRUE(WIFSTOPPED(status));
    ASSERT_TRUE(home.torn());

    // C on the same folder waits for A's track rather than trust it.
    const std::string output = home.dir.path("c.txt");
    pid_t c = tagtest::spawn(home.batchline() + " > " + tagtest::shellquote(output) + " 2>&1");
    ASSERT_GE(c, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(waitpid(c, &status, WNOHANG), 0) << "C finished while A held the track";
    says(tagtest::readfile(output), {"Track is up-to-date."}, false);

    // A dies; C settles A's journal, then does the track itself.
    kill(a, SIGKILL);
    waitpid(a, &status, 0);
    ASSERT_EQ(waitpid(c, &status, 0), c);
    const std::string out = tagtest::readfile(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    says(out, {"Restored " + home.track + " to its state before an interrupted tag update.", "Track updated."});
    EXPECT_EQ(tagtest::readbytes(home.track), home.updated);
    EXPECT_TRUE(home.journals().empty());
}

TEST(JournalRecovery, AFailedUndoIsToldAndRestoredAtTheNextStart)
{
    Home home;
    const int k = home.killpoint(true);
    home.clear();
    std::string out;
    // The disk fails for good in the middle of the track's write: the undo fails too.
    EXPECT_EQ(home.batch(&out, "fail:" + std::to_string(k + 1) + ":5:sticky"), 1) << out;
    says(out,
         {"Could not write tag to file: error code 5.", "The track is half-written: the journal ",
          "There were errors."});
    EXPECT_TRUE(home.torn());
    EXPECT_EQ(home.journals().size(), 1u);
    EXPECT_EQ(home.batch(&out), 0) << out;
    says(out, {"Restored " + home.track});
    EXPECT_EQ(tagtest::readbytes(home.track), home.updated);
}

TEST(JournalRecovery, JournalFolderProblemsAreNamedAsSuch)
{
    Home home;
    const std::string folder = home.journalfolder();
    fs::create_directories(home.dir.path("other"));
    // A file where the journal folder should be, then a link to a folder elsewhere.
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { tagtest::writebytes(folder, {'x'}); }, " is not a folder (error code 20704)."},
        {[&] { fs::create_directory_symlink(home.dir.path("other"), folder); },
         " is a symbolic link (error code 20704)."},
    };
    for (const auto& [make, problem] : cases) {
        fs::remove_all(folder);
        make();
        std::string out;
        EXPECT_EQ(home.batch(&out), 1) << out;
        says(out, {"Could not write tag to file: the journal folder " + folder + problem});
        EXPECT_EQ(tagtest::readbytes(home.track), home.original);
    }
}
