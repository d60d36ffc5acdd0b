// Tag updates stopped at every one of their writes, by a kill or an error,
// leave each file as it was or completely updated; the file keeps its
// identity. Journals live in this test's own state folder.
#include "tags/FileTransaction.h"
#include "tags/Tag.h"
#include "tags/WriteJournal.h"
#include "TagTestSupport.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace ovra;
using tagtest::TempDir;

namespace {

// Tempix's own update of one track: tempo, volume (ID3 only) and record.
void update(const std::string& path) { tagtest::ourupdate(path, tagtest::pattern(5, 7)); }

// A state folder of the test's own, so journals of other tests stay apart.
struct StateHome {
    TempDir dir;
    StateHome() { setenv("XDG_STATE_HOME", dir.path("state").c_str(), 1); }
    // Journals left in the journal folder (a settled update leaves none).
    size_t journals() const
    {
        size_t n = 0;
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(journalfolder(), missing))
            n += entry.path().extension() == ".journal" ? 1 : 0;
        return n;
    }
};

std::vector<std::string> recover()
{
    std::vector<std::string> lines;
    recoverinterruptedwrites([&](const char* line) { lines.emplace_back(line); });
    return lines;
}

// A ReplayGain write: the track and album pairs.
void replaygainupdate(const std::string& path) { tagtest::writegain(path, {-3.56, 0.987654, -4.21, 1.0}); }

struct Kind {
    const char* name;
    const char* fixture;
    void (*update)(const std::string&) = ::update;
};

// Media data moved (udta made in front of mdat), metadata at the end of an
// M4A, an ID3v2.3 tag that grows, ID3v2.4 through TagLib, a new tag, FLAC
// frames moved (no padding), Ogg pages renumbered (a full header page).
const Kind KINDS[] = {
    {"M4A, media data moved", "noudta_fast.m4a"},
    {"M4A, metadata at the end", "noudta_tail.m4a"},
    {"ID3v2.3 grown", "v23_nopad.mp3"},
    {"ID3v2.4 through TagLib", "v24.mp3"},
    {"new ID3v2 tag in front of ID3v1", "v1only.mp3"},
    {"FLAC without padding", "nopad.flac"},
    {"Ogg Vorbis, later pages renumbered", "full.ogg"},
    {"FLAC, the comment in its padding", "comments.flac"},
    {"Ogg Vorbis, first write", "comments.ogg"},
    {"Opus with a picture, first write", "picture.opus"},
    {"ReplayGain, ID3v2.3 through id3lib", "v23.mp3", replaygainupdate},
    {"ReplayGain, ID3v2.4 through TagLib", "v24.mp3", replaygainupdate},
    {"ReplayGain, M4A items added", "mutagen_gen.m4a", replaygainupdate},
    {"ReplayGain, Opus gains", "picture.opus", replaygainupdate},
};

} // namespace

// Killed after any write, the track is the original or the whole update once
// recovered; a write that fails is undone at once and reports its errno.
TEST(SafeWrite, AKillOrAFailureAtAnyWriteLeavesTheOriginalOrTheWholeUpdate)
{
    StateHome home;
    int tornInAll = 0;
    for (const Kind& kind : KINDS) {
        SCOPED_TRACE(kind.name);
        kind.update(home.dir.copy(kind.fixture, std::string("warm-") + kind.fixture)); // the journal folder exists
        const std::string clean = home.dir.copy(kind.fixture, std::string("clean-") + kind.fixture);
        const std::vector<uint8_t> original = tagtest::readbytes(clean);
        setwritefault({});
        kind.update(clean);
        const int writes = writecalls();
        const std::vector<uint8_t> updated = tagtest::readbytes(clean);
        ASSERT_NE(updated, original);
        ASSERT_GT(writes, 5) << "the journal, its sync, the track, its sync, the journal removed and that flushed";
        EXPECT_EQ(tagtest::audioprint(clean), tagtest::audioprint(home.dir.copy(kind.fixture, "first")));

        int torn = 0;
        for (int k = 0; k < writes; ++k) {
            const std::string path = home.dir.copy(kind.fixture);
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                setwritefault({WriteFault::Mode::die, k});
                try {
                    kind.update(path);
                } catch (...) {
                }
                _exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 137) << "the update ran past write " << k;
            const std::vector<uint8_t> before = tagtest::readbytes(path);
            const bool half = before != original && before != updated;
            torn += half ? 1 : 0;
            const std::vector<std::string> lines = recover();
            EXPECT_EQ(lines.size(), half ? 1u : 0u) << "only a torn track is restored, after write " << k;
            const std::vector<uint8_t> now = tagtest::readbytes(path);
            EXPECT_TRUE(now == original || now == updated) << "killed after write " << k;
            EXPECT_EQ(home.journals(), 0u) << "after write " << k;
            for (const std::string& line : lines)
                EXPECT_EQ(line,
                          "Restored " + std::string(std::filesystem::canonical(path).string()) +
                              " to its state before an interrupted tag update.\n");
        }
        tornInAll += torn;
        EXPECT_TRUE(recover().empty()) << "each replay is logged once";

        for (int error : {ENOSPC, EIO, EACCES}) {
            for (int k = 0; k < writes; ++k) {
                const std::string path = home.dir.copy(kind.fixture);
                setwritefault({WriteFault::Mode::fail, k, error});
                int code = tagtest::codeof([&] { kind.update(path); });
                setwritefault({});
                if (k >= writes - 2) {
                    // Only removing the journal failed: the track is complete,
                    // and the next start finds it so and drops the journal
                    // without a word.
                    EXPECT_EQ(code, 0);
                    EXPECT_TRUE(recover().empty());
                    EXPECT_EQ(tagtest::readbytes(path), updated);
                } else {
                    EXPECT_EQ(code, error) << "write " << k;
                    EXPECT_EQ(tagtest::readbytes(path), original) << "write " << k;
                }
                EXPECT_EQ(home.journals(), 0u);
            }
        }
    }
    EXPECT_GT(tornInAll, 0) << "some kills leave a track half-written";

    // When even the undo fails, the journal stays and says so; the next start
    // restores the track, unless another program changed it since: then it
    // is left as that program made it.
    for (bool changed : {false, true}) {
        setwritefault({});
        update(home.dir.copy("noudta_fast.m4a", "count.m4a"));
        const int writes = writecalls();
        const std::string path = home.dir.copy("noudta_fast.m4a");
        std::vector<uint8_t> expected = tagtest::readbytes(path);
        // The journal is synced and the track grown; then the disk fails for
        // good, from the track's first byte write on (the last four calls:
        // that write, the track's sync, the journal's removal and its flush).
        setwritefault({WriteFault::Mode::fail, writes - 4, EIO, true});
        EXPECT_EQ(tagtest::codeof([&] { update(path); }), EIO);
        setwritefault({});
        EXPECT_EQ(halfwrittenjournal(), journalpath(std::filesystem::canonical(path).string()));
        EXPECT_EQ(home.journals(), 1u);
        if (changed) {
            expected.push_back(1);
            tagtest::writebytes(path, expected);
        }
        const std::vector<std::string> lines = recover();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].find("another program changed it since") != std::string::npos, changed) << lines[0];
        EXPECT_EQ(lines[0].find("Restored ") == 0, !changed) << lines[0];
        EXPECT_EQ(tagtest::readbytes(path), expected);
        EXPECT_EQ(home.journals(), 0u);
    }
    update(home.dir.copy("v23.mp3"));
    EXPECT_EQ(halfwrittenjournal(), "") << "a commit that succeeds clears it";
}

TEST(SafeWrite, TheTrackKeepsItsInodeLinksOwnerModeAndAttributes)
{
    StateHome home;
    for (const char* fixture : {"v23_nopad.mp3", "noudta_fast.m4a", "v24.mp3"}) {
        SCOPED_TRACE(fixture);
        const std::string real = home.dir.copy(fixture);
        const std::string ext = std::string(fixture).substr(std::string(fixture).rfind('.'));
        const std::string link = home.dir.path("link" + ext), hard = home.dir.path("hard" + ext);
        std::filesystem::remove(link);
        std::filesystem::remove(hard);
        ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
        ASSERT_EQ(::link(real.c_str(), hard.c_str()), 0);
        ASSERT_EQ(chown(real.c_str(), 1234, 5678), 0);
        ASSERT_EQ(chmod(real.c_str(), 0640), 0);
        ASSERT_EQ(setxattr(real.c_str(), "user.tempix.test", "kept", 4, 0), 0);
        struct stat before, after, linkStat;
        ASSERT_EQ(stat(real.c_str(), &before), 0);

        update(link); // through the symbolic link

        ASSERT_EQ(lstat(link.c_str(), &linkStat), 0);
        EXPECT_TRUE(S_ISLNK(linkStat.st_mode)) << "the link stays a link";
        ASSERT_EQ(stat(real.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_nlink, 2u);
        EXPECT_EQ(after.st_uid, 1234u);
        EXPECT_EQ(after.st_gid, 5678u);
        EXPECT_EQ(after.st_mode & 07777, 0640u);
        char value[16] = {};
        EXPECT_EQ(getxattr(real.c_str(), "user.tempix.test", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
        EXPECT_EQ(tagtest::readbytes(hard), tagtest::readbytes(real));
        std::unique_ptr<Tag> tag(openTag(real.c_str(), true));
        EXPECT_EQ(tag->getBPM(), 123) << "the real file got the update";
        for (const auto& entry : std::filesystem::directory_iterator(home.dir.path("")))
            EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << "a stray file: " << entry.path();
    }
}

TEST(SafeWrite, ReadOnlyFilesAndFilesThatAreNoRegularFilesAreRefused)
{
    StateHome home;
    ASSERT_EQ(chmod(home.dir.path("").c_str(), 0755), 0); // another user may look in
    for (const char* fixture : {"v23.mp3", "v24.mp3", "ap_gnre.m4a"}) {
        const std::string path = home.dir.copy(fixture);
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        const std::vector<uint8_t> original = tagtest::readbytes(path);
        // Root may write anything; the refusal is checked where it applies.
        if (access(path.c_str(), W_OK) != 0) {
            EXPECT_EQ(tagtest::codeof([&] { update(path); }), EACCES) << fixture;
        } else {
            seteuid(65534);
            EXPECT_EQ(tagtest::codeof([&] { update(path); }), EACCES) << fixture;
            seteuid(0);
        }
        EXPECT_EQ(tagtest::readbytes(path), original);
    }
    const std::string fifo = home.dir.path("pipe.mp3");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FileTransaction file;
    EXPECT_EQ(tagtest::codeof([&] { file.open(fifo.c_str()); }), FILE_ERR_NOT_REGULAR);
    EXPECT_NE(tagtest::codeof([&] { openTag(fifo.c_str(), false); }), 0) << "and it does not hang";
}

TEST(SafeWrite, ARunningUpdateIsNeverReplayedByAnotherStart)
{
    StateHome home;
    const std::string path = home.dir.copy("v23.mp3");
    const std::vector<uint8_t> original = tagtest::readbytes(path);
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    {
        // A journal as an update in another thread or process holds it, and
        // the track already half written.
        WriteJournal live;
        live.begin(std::filesystem::canonical(path).string(), st, fd, st.st_size, {{0, 64, 0}},
                   [](int64_t, void* buffer, size_t n) { std::memset(buffer, 'x', n); });
        ASSERT_EQ(pwrite(fd, "half written", 12, 0), 12);
        EXPECT_TRUE(recover().empty());
        EXPECT_EQ(home.journals(), 1u) << "left to its owner";
        EXPECT_EQ(live.restore(fd), 0);
        EXPECT_EQ(live.release(), 0);
    }
    ::close(fd);
    EXPECT_EQ(tagtest::readbytes(path), original);
    EXPECT_EQ(home.journals(), 0u);
}

// The flushes of one update come in the order that makes every interruption
// recoverable: the journal whole and flushed (and its new name) before the
// track's first byte changes, the track flushed before the journal goes, and
// the journal's removal flushed before the update returns.
TEST(SafeWrite, TheFlushesComeInTheOrderRecoveryNeeds)
{
    StateHome home;
    for (const char* fixture : {"v23_nopad.mp3", "noudta_fast.m4a", "nopad.flac"}) {
        SCOPED_TRACE(fixture);
        const std::string path = std::filesystem::canonical(home.dir.copy(fixture)).string();
        const std::string journal = journalpath(path);
        const std::string folder = journalfolder();
        tracewrites(true);
        update(path);
        const std::vector<std::string> trace = writetrace();
        tracewrites(false);
        auto first = [&](const std::string& entry) {
            return size_t(std::find(trace.begin(), trace.end(), entry) - trace.begin());
        };
        auto last = [&](const std::string& entry) {
            auto it = std::find(trace.rbegin(), trace.rend(), entry);
            return it == trace.rend() ? trace.size() : size_t(trace.rend() - it - 1);
        };
        const size_t trackWrite = std::min(first("write " + path), first("allocate " + path));
        ASSERT_LT(trackWrite, trace.size());
        EXPECT_LT(last("write " + journal), first("flush " + journal)) << "the journal is flushed after its last byte";
        EXPECT_LT(first("flush " + journal), trackWrite) << "and before the track changes";
        EXPECT_LT(first("flush " + folder), trackWrite) << "its new name too";
        EXPECT_LT(last("write " + path), first("flush " + path));
        EXPECT_LT(first("flush " + path), first("unlink " + journal)) << "the track is whole before the journal goes";
        EXPECT_EQ(last("flush " + folder), trace.size() - 1) << "the removal is flushed last";
        EXPECT_EQ(home.journals(), 0u);
    }
}

TEST(SafeWrite, ARelativeStateFolderIsIgnoredByTheJournal)
{
    testsupport::TempHome home;
    setenv("XDG_STATE_HOME", "state", 1);
    EXPECT_EQ(journalfolder(), home.path(".local/state/tempix/journal"));
}
