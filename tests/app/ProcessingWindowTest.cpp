#include "DesktopFixture.h"

#include <QAbstractButton>

#include <array>
#include <cstdio>
#include <sstream>

using namespace ovra;
using namespace ovra::tempix;

namespace {

std::string run(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    std::array<char, 256> buffer{};
    while (fgets(buffer.data(), buffer.size(), p))
        out += buffer.data();
    pclose(p);
    return out;
}

std::string readfile(const fs::path& p)
{
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class ProgressSheetTest : public DesktopTest {
protected:
    // A click track of 120 BPM with a quiet start and end, as an MP3.
    static fs::path sampletrack()
    {
        static fs::path made;
        if (!made.empty())
            return made;
        char templ[] = "/tmp/tempix-tracks-XXXXXX";
        fs::path dir = mkdtemp(templ);
        made = dir / "click120.mp3";
        std::string cmd = "ffmpeg -v error -y -f lavfi -i \"aevalsrc=exprs="
                          "'if(between(t\\,3\\,27)\\,0.8*sin(2*PI*90*t)*exp(-25*mod(t\\,0.5))\\,0)'"
                          ":s=44100:d=30\" -ac 2 -c:a libmp3lame -b:a 128k '" + made.string() + "' 2>&1";
        std::string out = run(cmd);
        EXPECT_TRUE(fs::exists(made)) << out;
        return made;
    }

    fs::path folderoftracks(int count, bool broken = false)
    {
        fs::path dir = home / "Tracks";
        fs::create_directories(dir);
        for (int i = 0; i < count; ++i)
            fs::copy_file(sampletrack(), dir / ("track" + std::to_string(100 + i) + ".mp3"));
        if (broken)
            std::ofstream(dir / "broken.mp3") << "this is not audio";
        return dir;
    }

    // Chosen folder, tempo only, nothing sent to the library.
    std::unique_ptr<MainWindow> prepared(const fs::path& folder, bool reprocess = false)
    {
        auto w = openmain();
        w->sendcommand(fourcc("RCLo"));
        w->folderchosen(folder.c_str());
        w->control(112).setvalue(false);
        w->control(113).setvalue(reprocess);
        w->sendcommand(fourcc("Updt"));
        return w;
    }

    static bool ended(ProcessingWindow& p)
    {
        return !p.running() && p.control(105).title() == "Close";
    }

    fs::path logfile() const { return home / ".local/state/tempix/Tempix.log"; }
};

} // namespace

TEST_F(ProgressSheetTest, AWholeBatchEndsWithDone)
{
    fs::path folder = folderoftracks(2);
    auto w = prepared(folder);
    w->sendcommand(fourcc("Strt"));
    ProcessingWindow& p = w->processingwindow();
    ASSERT_TRUE(p.iscreated());
    EXPECT_EQ(p.platformwindow()->windowModality(), Qt::WindowModal);
    EXPECT_EQ(p.platformwindow()->parentWidget(), w->platformwindow());
    ASSERT_TRUE(waitfor([&] { return ended(p); }));
    ovra::processpendingevents();
    EXPECT_EQ(p.control(103).gettext(), "Done");
    EXPECT_EQ(p.control(102).gettext(), "");
    EXPECT_FALSE(p.control(106).visible());
    EXPECT_EQ(p.control(101).progressmaximum(), 2);
    EXPECT_EQ(p.control(101).progressvalue(), 2);
    EXPECT_EQ(p.processor().errorCount(), 0);

    std::string log = readfile(logfile());
    EXPECT_NE(log.find(": Tempix started.\n"), std::string::npos) << log;
    // What the batch wrote, read back by another program.
    std::string bpm = run("ffprobe -v error -show_entries format_tags=TBPM -of default=nw=1:nk=1 '" +
                          (folder / "track100.mp3").string() + "'");
    EXPECT_EQ(bpm, "120\n") << log;

    // "Close" disposes the sheet; the main window takes input again.
    qobject_cast<QAbstractButton*>(p.findcontrol(105))->click();
    EXPECT_FALSE(p.iscreated());
}

TEST_F(ProgressSheetTest, ErrorsGiveTheErrorMessage)
{
    fs::path folder = folderoftracks(1, true);
    auto w = prepared(folder);
    w->sendcommand(fourcc("Strt"));
    ProcessingWindow& p = w->processingwindow();
    ASSERT_TRUE(waitfor([&] { return ended(p); }));
    ovra::processpendingevents();
    EXPECT_EQ(p.control(103).gettext(), "There were errors. Check the log file for details.");
    EXPECT_GE(p.processor().errorCount(), 1);
    // The broken file is left as it was.
    EXPECT_EQ(readfile(folder / "broken.mp3"), "this is not audio");
}

TEST_F(ProgressSheetTest, ClosingCancelsTheBatch)
{
    const int count = 40;
    fs::path folder = folderoftracks(count);
    auto w = prepared(folder, true);
    w->sendcommand(fourcc("Strt"));
    ProcessingWindow& p = w->processingwindow();
    ASSERT_TRUE(waitfor([&] { return p.control(101).progressvalue() >= 1 || !p.running(); }));
    ASSERT_TRUE(p.running()) << "the batch ended before it could be cancelled";
    qobject_cast<QAbstractButton*>(p.findcontrol(105))->click();
    EXPECT_TRUE(p.closing());
    ASSERT_TRUE(waitfor([&] { return !p.iscreated(); }));
    EXPECT_FALSE(p.running());
    ovra::processpendingevents(); // changes still queued go nowhere

    // Nothing more happens after the sheet has gone.
    std::string log = readfile(logfile());
    int updated = 0;
    for (size_t at = log.find("Track"); at != std::string::npos; at = log.find("Track", at + 1))
        ++updated;
    EXPECT_LT(updated, count);
    QThread::msleep(200);
    EXPECT_EQ(readfile(logfile()), log);

    // A second batch in the same run appends to the same log.
    w->sendcommand(fourcc("Strt"));
    ASSERT_TRUE(p.iscreated());
    qobject_cast<QAbstractButton*>(p.findcontrol(105))->click();
    ASSERT_TRUE(waitfor([&] { return !p.iscreated(); }));
    std::string second = readfile(logfile());
    EXPECT_EQ(second.compare(0, log.size(), log), 0);
    size_t first = second.find(": Tempix started.\n");
    EXPECT_NE(second.find(": Tempix started.\n", first + 1), std::string::npos);
}

TEST_F(ProgressSheetTest, QuittingDuringABatchCancelsWaitsThenSaves)
{
    fs::path folder = folderoftracks(20);
    auto w = prepared(folder, true);
    w->control(107).setvalue(true);
    w->sendcommand(fourcc("Strt"));
    ASSERT_TRUE(w->processingwindow().running());
    w->processingwindow().stopbatch();
    EXPECT_FALSE(w->processingwindow().running());
    w.reset();
    std::string settings = readfile(settingsfile());
    EXPECT_NE(settings.find("optimizetimes=1"), std::string::npos) << settings;
    EXPECT_NE(settings.find("source=3"), std::string::npos) << settings;
}

TEST_F(ProgressSheetTest, LogButtonOpensTheLogInTheViewer)
{
    // A viewer of our own on the search path notes what it was asked to open.
    fs::path bin = home / "bin";
    fs::create_directories(bin);
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > \"$HOME/opened.tmp\" && mv \"$HOME/opened.tmp\" \"$HOME/opened\"\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);

    fs::path folder = folderoftracks(1);
    auto w = prepared(folder);
    w->sendcommand(fourcc("Strt"));
    ProcessingWindow& p = w->processingwindow();
    ASSERT_TRUE(waitfor([&] { return ended(p); }));
    qobject_cast<QAbstractButton*>(p.findcontrol(104))->click();
    bool opened = waitfor([&] { return fs::exists(home / "opened"); }, 20000);
    setenv("PATH", oldPath.c_str(), 1);
    ASSERT_TRUE(opened);
    EXPECT_EQ(readfile(home / "opened"), logfile().string());
    EXPECT_TRUE(p.iscreated()); // the sheet stays
}
