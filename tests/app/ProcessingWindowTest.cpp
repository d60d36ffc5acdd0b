#include "DesktopFixture.h"
#include "support/BatchLibraryText.h"
#include "app/ResultsModel.h"
#include "batch/TrackWords.h"
#include "platform/window/QuitSignals.h"
#include "platform/window/ThemeColours.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QProgressBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <map>

using namespace ovra;
using namespace ovra::tempix;
using namespace testsupport;

namespace {

class ProgressSheetTest : public DesktopTest {
protected:
    // count copies of a material track of 128 BPM.
    fs::path folderoftracks(int count)
    {
        std::vector<std::pair<std::string, std::string>> copies;
        for (int i = 0; i < count; ++i)
            copies.push_back({"beat128_stereo44_lame.mp3", "track" + std::to_string(100 + i) + ".mp3"});
        return materialfolder(copies);
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

    static bool ended(ProcessingWindow& p) { return !p.running() && p.control(105).title() == "Close"; }

    // Waits for the batch's end and then for the changes it posted.
    static bool settled(ProcessingWindow& p)
    {
        const bool done = waitfor([&] { return ended(p); });
        ovra::processpendingevents();
        return done;
    }

    // Starts a batch (or a preview) from the main window: its sheet.
    static ProcessingWindow& start(MainWindow& w, const char* command = "Strt")
    {
        w.sendcommand(fourcc(command));
        EXPECT_TRUE(w.processingwindow().iscreated());
        return w.processingwindow();
    }

    static ProcessingWindow& runtoend(MainWindow& w, const char* command = "Strt")
    {
        ProcessingWindow& p = start(w, command);
        EXPECT_TRUE(settled(p));
        return p;
    }

    static std::string cell(ProcessingWindow& p, int row, int column)
    {
        return p.results().data(p.results().index(row, column)).toString().toStdString();
    }

    // What another program reads from the file's tag, key by key.
    static std::map<std::string, std::string> readtrack(const fs::path& file) { return mutagen(file, true); }
};

} // namespace

// Real files of several kinds: what the table lists is what the batch did,
// and what another program reads from the files; a row's analysis picture.
TEST_F(ProgressSheetTest, TheTableListsEveryTrackOfTheBatch)
{
    fs::path folder = materialfolder({{"beat128_stereo44_lame.mp3", "House, 128.mp3"},
                                      {"beat100_mono44_aac.m4a", "hiphop100.m4a"},
                                      {"beat140_stereo44_noxing.mp3", "techno140.mp3"},
                                      {"short_3s.mp3", "short.mp3"}});
    auto w = prepared(folder);
    w->control(107).setvalue(true); // times: none without library IDs
    w->control(130).setvalue(true); // volume
    w->optionswindow().setgenres(2, "", "House, Hip-Hop, Pop");
    ProcessingWindow& p = runtoend(*w);
    EXPECT_EQ(p.control(103).gettext(), "There were errors. Check the log file for details.");
    EXPECT_EQ(p.control(108).gettext(), "2 updated, 0 up to date, 1 skipped, 1 error");
    ASSERT_EQ(p.results().rowCount(), 4);
    std::map<std::string, int> rowOf;
    for (int r = 0; r < 4; ++r)
        rowOf[fs::path(p.results().result(r).path).filename().string()] = r;
    auto at = [&](const std::string& file, int column) { return cell(p, rowOf.at(file), column); };
    for (const char* file : {"House, 128.mp3", "hiphop100.m4a"}) {
        EXPECT_EQ(at(file, ResultsModel::OUTCOME), "Updated") << file;
        EXPECT_EQ(at(file, ResultsModel::BPM), readtrack(folder / file)["bpm"]) << file;
        EXPECT_FALSE(at(file, ResultsModel::VOLUME).empty()) << file;
    }
    EXPECT_EQ(at("House, 128.mp3", ResultsModel::BPM), "128");
    EXPECT_EQ(at("techno140.mp3", ResultsModel::OUTCOME), "Skipped");
    EXPECT_EQ(at("techno140.mp3", ResultsModel::NOTE), "Genre filter: skipping genre 'techno'.");
    EXPECT_EQ(at("short.mp3", ResultsModel::OUTCOME), "Error");
    EXPECT_EQ(at("short.mp3", ResultsModel::NOTE), "Too short to analyse (3.000 s)");
    EXPECT_EQ(readtrack(folder / "techno140.mp3").count("bpm"), 0u); // left as it was

    // Errors first by outcome; the filter keeps them alone.
    p.table()->sortByColumn(ResultsModel::OUTCOME, Qt::AscendingOrder);
    EXPECT_EQ(p.shownrows().front(), rowOf["short.mp3"]);
    press(p, 109);
    EXPECT_EQ(p.shownrows(), std::vector<int>{rowOf["short.mp3"]});
    press(p, 109);

    // Saved and copied as CSV, read back by Python's csv module.
    const std::string csv = (home / "results.csv").string();
    std::string error;
    ASSERT_TRUE(p.savecsv(csv, error)) << error;
    EXPECT_EQ(pythonoutput("import csv,sys; rows=list(csv.reader(open(sys.argv[1]))); "
                           "print(len(rows), set(len(r) for r in rows), rows[0][4], sorted(r[4] for r in rows[1:]))",
                           {csv}),
              "5 {13} BPM ['', '', '100', '128']\n");
    press(p, 111); // Copy, nothing selected: every row shown
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), readfile(csv));

    // Selecting a row makes its picture on a worker thread from the record
    // stored in the file and one fresh analysis; the file is only read.
    AnalysisView* view = p.analysisview();
    ASSERT_NE(view, nullptr);
    const std::vector<int> shown = p.shownrows();
    const int m4a = int(std::find(shown.begin(), shown.end(), rowOf["hiphop100.m4a"]) - shown.begin());
    const std::string bytes = readfile(folder / "hiphop100.m4a");
    p.table()->selectRow(m4a == 0 ? 1 : 0);
    p.table()->selectRow(m4a); // the first picture is no longer wanted
    ASSERT_TRUE(waitfor([&] { return view->picture() != nullptr; }));
    EXPECT_EQ(readfile(folder / "hiphop100.m4a"), bytes);
    const TrackPicture& picture = *view->picture();
    ASSERT_TRUE(picture.hasRecord);
    EXPECT_EQ(picture.fresh.status, AnalysisStatus::ok);
    std::map<std::string, std::string> stored = readtrack(folder / "hiphop100.m4a");
    EXPECT_EQ(std::to_string(picture.record.analysis.firstBeat), stored["record_first_beat"]);
    EXPECT_EQ(std::to_string(picture.record.analysis.lastBeat), stored["record_last_beat"]);
    EXPECT_NEAR(picture.level.size() * picture.blockSeconds, 24.0, 0.1);
    // Closing the sheet while a picture is being made waits for nothing long.
    p.table()->selectRow(m4a == 0 ? 1 : 0);
    EXPECT_TRUE(view->loading());
    press(p, 105);
    EXPECT_FALSE(p.iscreated());

    // The same batch again: the stored analysis makes every track up to date.
    EXPECT_EQ(runtoend(*w).control(108).gettext(), "0 updated, 2 up to date, 1 skipped, 1 error");
}

// The window's playlist-file source runs the batch on the tracks the list
// names, in its order; the entry that is not here makes the batch's error.
TEST_F(ProgressSheetTest, APlaylistFileSourceProcessesItsTracksInItsOrder)
{
    fs::path folder = materialfolder({{"beat128_stereo44_lame.mp3", "first.mp3"},
                                      {"beat100_mono44_aac.m4a", "second.m4a"},
                                      {"beat140_stereo44_noxing.mp3", "unlisted.mp3"}});
    const fs::path list = home / "mix.m3u8";
    std::ofstream(list) << "#EXTM3U\nTracks/second.m4a\n"
                        << (folder / "first.mp3").string() << "\nTracks/gone.mp3\nhttp://radio.example/live\n";
    auto w = prepared(home);
    w->sendcommand(fourcc("RPLF"));
    w->playlistfilechosen(list.c_str());
    ASSERT_TRUE(w->control(115).enabled());
    ProcessingWindow& p = runtoend(*w);
    EXPECT_EQ(p.control(103).gettext(), "There were errors. Check the log file for details.");
    ASSERT_EQ(p.results().rowCount(), 2);
    EXPECT_EQ(p.results().result(0).path, (folder / "second.m4a").string());
    EXPECT_EQ(p.results().result(1).path, (folder / "first.mp3").string());
    EXPECT_EQ(readtrack(folder / "unlisted.mp3").count("bpm"), 0u);
    const std::string log = readfile(logfile());
    EXPECT_TRUE(contains(log,
                         "Playlist entry not found: skipping 'Tracks/gone.mp3' (looked for '" +
                             (folder / "gone.mp3").string() + "').\n"))
        << log;
    EXPECT_TRUE(contains(log, "Playlist entry is a stream, not a file: skipping 'http://radio.example/live'.\n"));
    press(p, 105);
}

// Batches that end before their first track: the bar never stays busy, it
// counts what there was, and the sheet says in words what happened, in the
// error colour only for a failure.
TEST_F(ProgressSheetTest, BatchesWithoutTracksSayWhy)
{
    const std::string empty = (home / "Empty").string(), gone = (home / "Gone").string();
    fs::create_directories(empty);
    for (const std::string& folder : {empty, gone}) {
        SCOPED_TRACE(folder);
        const bool failure = folder == gone;
        auto w = prepared(home);
        w->folderchosen(folder.c_str());
        w->control(112).setvalue(!failure); // export: a note that there are no library IDs
        ProcessingWindow& p = start(*w);
        ASSERT_TRUE(settled(p));
        EXPECT_FALSE(p.control(101).progressindeterminate());
        EXPECT_EQ(qobject_cast<QProgressBar*>(p.findcontrol(101))->text().toStdString(), "0 of 0");
        if (failure) {
            EXPECT_TRUE(p.control(113).visible());
            EXPECT_TRUE(contains(p.control(113).gettext(), gone)) << p.control(113).gettext();
        } else {
            EXPECT_EQ(p.control(103).gettext(), "Done");
            EXPECT_EQ(p.control(108).gettext(), "No MP3, M4A, FLAC, Ogg or Opus files were found in " + empty + ".");
        }
        EXPECT_EQ(p.findcontrol(113)->palette().color(QPalette::WindowText) ==
                      errortextcolour(p.platformwindow()->palette()),
                  failure);
        press(p, 105);
    }
}

// Cancel stops the batch between tracks; nothing is written after the sheet has gone.
TEST_F(ProgressSheetTest, ClosingCancelsTheBatch)
{
    const int count = 40;
    auto w = prepared(folderoftracks(count), true);
    ProcessingWindow& p = start(*w);
    ASSERT_TRUE(waitfor([&] { return p.control(101).progressvalue() >= 1 || !p.running(); }));
    ASSERT_TRUE(p.running()) << "the batch ended before it could be cancelled";
    // Cancel stops the batch; the sheet stays with the rows of the tracks
    // that finished and says how far it got.
    press(p, 105);
    EXPECT_TRUE(p.cancelling());
    ASSERT_TRUE(waitfor([&] { return ended(p); }));
    ASSERT_TRUE(p.iscreated());
    const std::string rows = std::to_string(p.results().rowCount()), of = std::to_string(count);
    EXPECT_LT(p.results().rowCount(), count);
    const std::string summary = p.control(108).gettext();
    EXPECT_EQ(summary.rfind("Cancelled after " + rows + " of " + of + " tracks: " + rows + " updated", 0), 0u)
        << summary;
    EXPECT_TRUE(contains(readfile(logfile()), "Batch cancelled after " + rows + " of " + of + " tracks.\n"));
    press(p, 105); // Close
    ASSERT_TRUE(waitfor([&] { return !p.iscreated(); }));
    ovra::processpendingevents(); // changes still queued go nowhere

    // Nothing more happens after the sheet has gone.
    std::string log = readfile(logfile());
    int updated = 0;
    for (size_t at = log.find("Track"); at != std::string::npos; at = log.find("Track", at + 1))
        ++updated;
    EXPECT_LT(updated, count);
    QThread::msleep(200);
    EXPECT_EQ(readfile(logfile()), log);
}

// Quit while a batch runs asks first; Quit then cancels, waits and saves.
TEST_F(ProgressSheetTest, QuittingDuringABatchAsksCancelsWaitsThenSaves)
{
    auto answer = [](QMessageBox* question, const char* button) {
        for (QAbstractButton* b : question->buttons())
            if (b->text() == button)
                b->click();
    };
    auto w = prepared(folderoftracks(20), true);
    w->control(107).setvalue(true);
    ProcessingWindow& p = start(*w);
    ASSERT_TRUE(p.running());

    // The main window's close box reaches the question; Continue goes on.
    w->platformwindow()->close();
    ASSERT_NE(w->quitquestion(), nullptr);
    EXPECT_TRUE(w->platformwindow()->isVisible());
    answer(w->quitquestion(), "Continue");
    ovra::processpendingevents();
    EXPECT_EQ(w->quitquestion(), nullptr);
    EXPECT_TRUE(p.running());

    // Ctrl+Q works from the sheet too; this time Quit.
    p.platformwindow()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(p.platformwindow()));
    QTest::keyClick(p.platformwindow(), Qt::Key_Q, Qt::ControlModifier);
    ASSERT_NE(w->quitquestion(), nullptr);
    QTimer::singleShot(0, [&] { answer(w->quitquestion(), "Quit"); });
    EXPECT_EQ(runguardedloop(), 0);
    p.stopbatch(); // as the program does on its way out
    EXPECT_FALSE(p.running());
    w.reset();
    std::string settings = readfile(settingsfile());
    EXPECT_TRUE(contains(settings, "optimizetimes=1")) << settings;
    EXPECT_TRUE(contains(settings, "source=3")) << settings;
}

// A logout's SIGTERM: the batch is cancelled and the settings are saved.
TEST_F(ProgressSheetTest, TerminationSignalQuitsInOrder)
{
    auto w = prepared(folderoftracks(20), true);
    w->control(130).setvalue(true);
    ovra::QuitSignals quitSignals([&](int) { w->quitnow(); });
    ASSERT_TRUE(quitSignals.installed());
    ASSERT_TRUE(start(*w).running());
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    EXPECT_EQ(runapplicationloop(), 0);
    w->processingwindow().stopbatch();
    EXPECT_FALSE(w->processingwindow().running());
    w.reset();
    EXPECT_TRUE(contains(readfile(settingsfile()), "adjustvolume=1"));
}

// A dry run changes nothing; a whole batch ends with "Done"; a later one in
// the same run shows its own log alone while the file keeps every batch, and
// the log window opens the whole file.
TEST_F(ProgressSheetTest, AWholeBatchEndsWithDoneAndTheLogWindowShowsIt)
{
    // A viewer of our own on the search path notes what it was asked to open.
    testsupport::fakeopener(home, home / "opened");
    fs::path folder = folderoftracks(2);
    auto w = prepared(folder);
    // A dry run first: the table says what would be updated; the tracks stay as they were.
    const std::string before = readfile(folder / "track100.mp3");
    w->control(146).setvalue(true);
    ProcessingWindow& p = runtoend(*w);
    EXPECT_EQ(p.control(108).gettext(), "2 would update, 0 up to date, 0 skipped, 0 errors");
    EXPECT_EQ(cell(p, 0, ResultsModel::OUTCOME), "Would update");
    EXPECT_EQ(readfile(folder / "track100.mp3"), before);
    press(p, 105);
    w->control(146).setvalue(false);

    start(*w);
    ASSERT_TRUE(p.iscreated());
    // The window waits for the sheet.
    EXPECT_FALSE(w->control(115).enabled());
    w->sendcommand(fourcc("RiTL")); // a shortcut does not reach past the sheet
    EXPECT_EQ(w->currentsource(), 3);
    ASSERT_TRUE(settled(p));
    EXPECT_EQ(p.control(103).gettext(), "Done");
    EXPECT_EQ(p.control(101).progressvalue(), 2);
    EXPECT_EQ(p.control(108).gettext(), "2 updated, 0 up to date, 0 skipped, 0 errors");
    // What the batch wrote, read back by another program.
    EXPECT_EQ(readtrack(folder / "track100.mp3")["bpm"], "128");
    // "Close" disposes the sheet; the main window takes input again.
    press(p, 105);
    EXPECT_FALSE(p.iscreated());
    EXPECT_TRUE(w->control(115).enabled());

    runtoend(*w);
    press(p, 104);
    LogWindow& log = p.logwindow();
    ASSERT_TRUE(log.iscreated());
    const std::string shown = log.control(101).gettext();
    EXPECT_NE(shown.find(": Tempix started."), std::string::npos);
    EXPECT_EQ(shown.find(": Tempix started."), shown.rfind(": Tempix started.")); // one batch
    EXPECT_EQ(shown + "\n", p.batchlog());
    EXPECT_TRUE(contains(shown, "Processing: " + (folder / "track100.mp3").string()));
    // The file is appended to: the dry run's batch, the first and this one.
    const std::string file = readfile(logfile());
    int batches = 0;
    for (size_t at = file.find(": Tempix started."); at != std::string::npos;
         at = file.find(": Tempix started.", at + 1))
        ++batches;
    EXPECT_EQ(batches, 3);
    press(log, 102);
    ASSERT_TRUE(waitfor([&] { return fs::exists(home / "opened"); }, 20000));
    EXPECT_EQ(readfile(home / "opened"), logfile().string() + "\n");
    EXPECT_TRUE(p.iscreated()); // the sheet stays
}

// A library batch: the preview lists what each track holds without touching
// it; rows name the library's track and say in words why a file could not be
// read; names sort naturally; Ctrl+A Ctrl+C copies rows; a run shows old -> new.
TEST_F(ProgressSheetTest, ThePreviewAndTheRowsSayWhatIsThereAndWhatHappened)
{
    fs::path folder = materialfolder({{"beat128_stereo44_lame.mp3", "track2.mp3"},
                                      {"beat128_stereo44_lame.mp3", "track10.mp3"},
                                      {"beat128_stereo44_lame.mp3", "track1.mp3"}});
    std::ofstream(folder / "cover.jpg") << "not a picture either";
    std::ofstream(folder / "broken.mp3") << "no frames here";
    pythonoutput("import sys; from mutagen.mp3 import MP3; from mutagen.id3 import TBPM; f=MP3(sys.argv[1]); "
                 "f.tags is None and f.add_tags(); f.tags.add(TBPM(encoding=3, text=['100'])); f.save()",
                 {(folder / "track10.mp3").string()});
    const std::vector<std::pair<std::string, std::string>> entries = {{"track2.mp3", "Two"},  {"track10.mp3", "Ten"},
                                                                      {"track1.mp3", "One"},  {"gone.mp3", "Gone"},
                                                                      {"cover.jpg", "Cover"}, {"broken.mp3", "Broken"}};
    const fs::path library = home / "Library.xml";
    std::string tracks;
    std::vector<int> ids;
    for (size_t i = 0; i < entries.size(); ++i) {
        ids.push_back(10 + int(i));
        tracks += track(ids.back(),
                        integer("Track ID", ids.back()) + text("Name", entries[i].second) + text("Artist", "The Band") +
                            location("file://localhost" + (folder / entries[i].first).string()));
    }
    writefile(library.string(), libraryText(tracks, playlist("Library", "<key>Master</key><true/>" + items(ids))));
    const std::string before = readfile(folder / "track10.mp3");
    auto w = prepared(home);
    w->librarychosen(library.c_str());
    w->sendcommand(fourcc("RiTL"));
    w->control(106).setvalue(true); // overwrite another program's BPM
    w->control(112).setvalue(false);
    w->sendcommand(fourcc("Updt"));

    ProcessingWindow& p = runtoend(*w, "Prvw");
    EXPECT_EQ(p.platformwindow()->windowTitle().toStdString(), "Preview (dry run)");
    EXPECT_EQ(p.control(108).gettext(), "6 tracks: 0 with a stored analysis, 4 to analyse, 2 errors");
    EXPECT_EQ(readfile(folder / "track10.mp3"), before);
    ASSERT_EQ(p.results().rowCount(), 6);
    EXPECT_EQ(cell(p, 1, ResultsModel::NAME), "Ten");
    EXPECT_EQ(cell(p, 1, ResultsModel::OUTCOME), "Not analysed");
    EXPECT_EQ(cell(p, 1, ResultsModel::BPM), "100");
    EXPECT_EQ(cell(p, 3, ResultsModel::NOTE), "File not found: " + (folder / "gone.mp3").string());
    EXPECT_EQ(cell(p, 4, ResultsModel::NOTE), "Not an audio file");
    EXPECT_EQ(cell(p, 5, ResultsModel::NOTE), "A run analyses the track."); // its tags read; only decoding tells
    EXPECT_EQ(nopicturewords(p.results().result(3)), "No picture: File not found: " + (folder / "gone.mp3").string());

    // Natural order by name; Ctrl+A Ctrl+C copies the rows as Copy does.
    p.table()->sortByColumn(ResultsModel::FILE, Qt::AscendingOrder);
    std::vector<std::string> order;
    for (int row : p.shownrows())
        order.push_back(fs::path(p.results().result(row).path).filename().string());
    EXPECT_EQ(
        order,
        (std::vector<std::string>{"broken.mp3", "cover.jpg", "gone.mp3", "track1.mp3", "track2.mp3", "track10.mp3"}));
    p.table()->setFocus();
    QTest::keyClick(p.table(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(p.table(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), p.results().csv(p.shownrows()));
    press(p, 105);
    ASSERT_FALSE(p.iscreated());

    // The run: another program's 100 becomes 128, shown as the change.
    ProcessingWindow& run = runtoend(*w);
    ASSERT_EQ(run.results().rowCount(), 6);
    EXPECT_EQ(cell(run, 1, ResultsModel::BPM), "100 \u2192 128");
    EXPECT_EQ(cell(run, 0, ResultsModel::BPM), "128");
    EXPECT_EQ(readtrack(folder / "track10.mp3")["bpm"], "128");
    press(run, 105);
}
