#include "app/ProcessingWindow.h"
#include "app/AnalysisView.h"
#include "app/LibraryMessages.h"
#include "app/MainWindow.h"
#include "app/ResultsModel.h"
#include "app/ResultsProxy.h"
#include "platform/window/ThemeColours.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLayout>
#include <QMessageBox>
#include <QPalette>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {
enum : int {
    PROGRESS_BAR = 101,
    FILE_TEXT = 102,
    STATUS_TEXT = 103,
    CANCEL_BUTTON = 105,
    BUSY_INDICATOR = 106,
    RESULTS_TABLE = 107,
    SUMMARY_TEXT = 108,
    ERRORS_ONLY = 109,
    PICTURE_FRAME = 110,
    PROBLEM_TEXT = 113,
};
// How often a closing sheet looks whether the worker has returned.
constexpr int WAIT_POLL_MS = 15;
// How often the sheet shows what the batch did meanwhile: a person reads no
// faster, and a batch of fast-failing tracks cannot build a backlog.
constexpr int DISPLAY_INTERVAL_MS = 100;

const char* const START_SUFFIX = ": Tempix started.\n";
const char* const LIBRARY_ERROR = "Error while reading iTunes database: error code ";
const char* const NOT_LOCAL = "File is not local: skipping '";
const char* const RESULTS_COLUMNS_KEY = "resultscolumns";
const char* const SHEET_SIZE_KEY = "resultssheetsize";

bool startswith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string withoutlinefeed(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}
// Ctrl+C on the table copies whole rows, as the Copy button does, not the
// one cell the view would copy.
class CopyKeys : public QObject {
public:
    CopyKeys(QObject* parent, std::function<void()> copy) : QObject(parent), copy(std::move(copy)) {}

    bool eventFilter(QObject* /*watched*/, QEvent* e) override
    {
        if (e->type() != QEvent::KeyPress && e->type() != QEvent::ShortcutOverride)
            return false;
        if (!static_cast<QKeyEvent*>(e)->matches(QKeySequence::Copy))
            return false;
        e->accept();
        if (e->type() == QEvent::KeyPress)
            copy();
        return true;
    }

private:
    std::function<void()> copy;
};
} // namespace

ProcessingWindow::ProcessingWindow(MainWindow& owner)
    : mainWindow(owner), batch(shown), model(std::make_unique<ResultsModel>())
{
    displayTimer.setInterval(DISPLAY_INTERVAL_MS);
    QObject::connect(&displayTimer, &QTimer::timeout, [this] { showchanges(); });
    waitTimer.setInterval(WAIT_POLL_MS);
    QObject::connect(&waitTimer, &QTimer::timeout, [this] {
        if (batch.running())
            return;
        if (closeRequested)
            finishclosing();
        else
            showcancelled();
    });
}

ProcessingWindow::~ProcessingWindow()
{
    closeRequested = true;
    waitTimer.stop();
    displayTimer.stop();
    batch.cancelall();
    batch.waitall();
    if (proxy)
        proxy->setSourceModel(nullptr); // the model goes before the sheet's widgets
}

QTableView* ProcessingWindow::table() { return qobject_cast<QTableView*>(findcontrol(RESULTS_TABLE)); }

bool ProcessingWindow::windowcreated()
{
    closeRequested = false;
    cancelRequested = false;
    endShown = false;
    shown.clear(); // whatever an earlier batch left is dropped
    model->clear();
    runLog.clear();
    batchLines.clear();
    inTrack = false;
    logWindow.dispose();
    logWindow.settext("");
    shownSettings = mainWindow.batchsettings();
    libraryPath = mainWindow.libraryfilepath();

    if (QTableView* t = table()) {
        proxy = new ResultsProxy(t);
        proxy->setSourceModel(model.get());
        proxy->setSortRole(ResultsModel::SORT_ROLE);
        proxy->setFilterRole(ResultsModel::OUTCOME_ROLE);
        proxy->setFilterKeyColumn(ResultsModel::OUTCOME);
        t->setModel(proxy);
        // In the order the batch met the tracks until a column is clicked.
        t->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        t->setSortingEnabled(true);
        t->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
        t->horizontalHeader()->setStretchLastSection(true);
        t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 8);
        t->horizontalHeader()->resizeSection(ResultsModel::FILE, t->fontMetrics().horizontalAdvance(QString(24, 'x')));
        QObject::connect(t->selectionModel(), &QItemSelectionModel::currentRowChanged, t,
                         [this] { selectionchanged(); });
        t->installEventFilter(new CopyKeys(t, [this] { copyrows(); }));
    }
    restorelayout();
    if (QTableView* t = table()) {
        // Shown once a row of the library carries them.
        t->setColumnHidden(ResultsModel::NAME, true);
        t->setColumnHidden(ResultsModel::ARTIST, true);
    }
    if (QWidget* frame = findcontrol(PICTURE_FRAME)) {
        view = new AnalysisView(frame);
        frame->layout()->addWidget(view);
    }
    if (auto* splitter = platformwindow()->findChild<QSplitter*>()) {
        splitter->setStretchFactor(0, 1);
        splitter->setStretchFactor(1, 1);
        splitter->setSizes({1, 1}); // half each
    }
    // The busy line keeps its room when it hides, so nothing below it moves.
    if (QWidget* busy = findcontrol(BUSY_INDICATOR)) {
        QSizePolicy policy = busy->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        busy->setSizePolicy(policy);
    }
    control(PROBLEM_TEXT).settext("");
    control(PROBLEM_TEXT).setvisible(false);
    control(SUMMARY_TEXT).settext("");

    BatchOptions options = mainWindow.batchoptions();
    if (preview) {
        // Read, not decoded; nothing written.
        options.listOnly = true;
        options.dryRun = true;
        platformwindow()->setWindowTitle("Preview (dry run)");
        control(BUSY_INDICATOR).settext("Listing the tracks of the chosen source. Nothing is decoded or written.");
    }
    displayTimer.start();
    if (batch.start(shownSettings, options) != 0) {
        // Nothing runs; the user closes the sheet with its button.
        control(STATUS_TEXT).settext("The batch could not be started.");
        control(CANCEL_BUTTON).settext("Close");
        control(BUSY_INDICATOR).postvisible(false);
        control(PROGRESS_BAR).postindeterminate(false);
    }
    return true;
}

void ProcessingWindow::stopbatch()
{
    batch.cancelall();
    batch.waitall();
}

// Cancels the batch and lets the display go on while the worker reaches its
// next cancellation check; the sheet goes once the worker has returned.
// Stops the batch and keeps the sheet, with the rows of the tracks that
// finished, once the worker has returned.
void ProcessingWindow::cancel()
{
    if (cancelRequested)
        return;
    cancelRequested = true;
    batch.cancelall();
    control(CANCEL_BUTTON).enable(false);
    control(STATUS_TEXT).settext("Cancelling...");
    waitTimer.start();
}

void ProcessingWindow::showcancelled()
{
    waitTimer.stop();
    batch.waitall();
    showchanges(); // the last rows and the cancelled line
    endShown = true;
    control(CANCEL_BUTTON).enable(true);
    if (batch.outcome() != BatchProcessor::Outcome::cancelled)
        return; // it ended on its own meanwhile, as shown
    control(FILE_TEXT).settext("");
    control(STATUS_TEXT).settext("Cancelled. The tracks listed are done; the others were left as they were.");
    control(CANCEL_BUTTON).settext("Close");
    control(BUSY_INDICATOR).setvisible(false);
    control(PROGRESS_BAR).postindeterminate(false);
    showcounts();
}

void ProcessingWindow::close()
{
    if (!iscreated() || closeRequested)
        return;
    if (batch.running() && !endShown) {
        cancel();
        return;
    }
    closeRequested = true;
    batch.cancelall();
    if (view)
        view->showtrack(""); // the picture's worker stops too
    if (!batch.running()) {
        finishclosing();
        return;
    }
    control(CANCEL_BUTTON).enable(false);
    control(STATUS_TEXT).settext("Cancelling...");
    waitTimer.start();
}

void ProcessingWindow::finishclosing()
{
    waitTimer.stop();
    displayTimer.stop();
    batch.waitall();
    showchanges(); // the last entries of the batch
    savelayout();
    logWindow.dispose();
    if (saveDialog)
        saveDialog->reject();
    dispose(); // changes still queued for this sheet are dropped
    mainWindow.sheetclosed();
}

bool ProcessingWindow::command(ovra::CommandID command)
{
    switch (command) {
    case ovra::fourcc("not!"):
    case ovra::fourcc("clos"):
        close();
        return true;
    case ovra::fourcc("SLog"):
        logWindow.setlogfile(batch.logPath());
        if (!logWindow.iscreated() && logWindow.createwindow("LogWindow") == 0)
            logWindow.showsheet(this, false);
        logWindow.bringtofront();
        return true;
    case ovra::fourcc("Errs"):
        if (proxy)
            proxy->setFilterFixedString(control(ERRORS_ONLY).getvalue() ? QString::number(int(TrackOutcome::failed))
                                                                        : QString());
        return true;
    case ovra::fourcc("Copy"):
        copyrows();
        return true;
    case ovra::fourcc("SCSV"):
        asksave();
        return true;
    default:
        return false;
    }
}

std::vector<int> ProcessingWindow::shownrows()
{
    std::vector<int> rows;
    if (!proxy)
        return rows;
    for (int r = 0; r < proxy->rowCount(); ++r)
        rows.push_back(proxy->mapToSource(proxy->index(r, 0)).row());
    return rows;
}

void ProcessingWindow::copyrows()
{
    QTableView* t = table();
    std::vector<int> rows;
    if (t && proxy && t->selectionModel()) {
        // The selected rows in the table's order, or every row shown.
        std::set<int> selected;
        for (const QModelIndex& index : t->selectionModel()->selectedRows())
            selected.insert(index.row());
        for (int r : selected)
            rows.push_back(proxy->mapToSource(proxy->index(r, 0)).row());
    }
    if (rows.empty())
        rows = shownrows();
    if (rows.empty())
        return;
    QApplication::clipboard()->setText(QString::fromStdString(model->csv(rows)));
}

bool ProcessingWindow::savecsv(const std::string& path, std::string& error)
{
    // Written beside the target and renamed over it: an existing file is
    // replaced whole or not at all.
    QSaveFile file(QString::fromStdString(path));
    std::vector<int> rows = shownrows();
    // No row shown (a filter hides them all) gives the header alone.
    const std::string text = model->csv(rows.empty() ? std::vector<int>{-1} : rows);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}

void ProcessingWindow::asksave()
{
    QFileDialog* d = filesheet(saveDialog, "Save Results as CSV");
    if (d == nullptr)
        return;
    d->setAcceptMode(QFileDialog::AcceptSave);
    d->setFileMode(QFileDialog::AnyFile);
    d->setNameFilter("CSV files (*.csv)");
    d->setDefaultSuffix("csv");
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    d->setDirectory(folder);
    d->selectFile("Tempix results.csv");
    QObject::connect(d, &QFileDialog::fileSelected, d, [this](const QString& file) {
        std::string error;
        if (!savecsv(file.toStdString(), error)) {
            auto* box =
                new QMessageBox(QMessageBox::Warning, "Tempix",
                                "The table could not be saved to " + file + ": " + QString::fromStdString(error) + ".",
                                QMessageBox::Ok, platformwindow());
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::WindowModal);
            box->open();
        }
    });
    d->open();
}

void ProcessingWindow::selectionchanged()
{
    QTableView* t = table();
    if (!t || !proxy || !view)
        return;
    QModelIndex current = t->selectionModel()->currentIndex();
    if (!current.isValid())
        return;
    const int row = proxy->mapToSource(current).row();
    if (row >= 0 && row < model->rowCount())
        view->showtrack(model->result(row).path);
}

// ---- the batch's display, taken from the coalescer on the main thread -----

void ProcessingWindow::showchanges()
{
    DisplayCoalescer::Changes c = shown.take();
    if (c.empty())
        return;
    // A closing sheet still takes the log and the rows: they stay the batch's
    // record; its lines show "Cancelling..." until it goes.
    const bool lines = iscreated() && !closeRequested;
    if (lines && c.fileLine)
        control(FILE_TEXT).settext(c.fileLine->c_str());
    if (lines && !cancelRequested && c.statusLine)
        control(STATUS_TEXT).settext(c.statusLine->c_str());
    if (lines && c.progressRange)
        control(PROGRESS_BAR).postmaximum(*c.progressRange);
    if (lines && c.progressValue)
        control(PROGRESS_BAR).postvalue(*c.progressValue);
    // The rows and the log of this look in one go each.
    std::vector<TrackResult> rows;
    std::string entries;
    for (DisplayCoalescer::Changes::Event& e : c.events) {
        if (e.result) {
            inTrack = false;
            rows.push_back(std::move(*e.result));
        } else {
            entries += e.entry;
            takeentry(e.entry, rows);
        }
    }
    if (!entries.empty())
        logWindow.append(entries);
    if (!rows.empty()) {
        const bool first = model->rowCount() == 0;
        model->add(rows);
        showcounts();
        if (QTableView* t = table()) {
            const bool names = model->hasnames();
            if (names && t->isColumnHidden(ResultsModel::NAME)) {
                t->setColumnHidden(ResultsModel::NAME, false);
                t->setColumnHidden(ResultsModel::ARTIST, false);
            }
            if (first && !layoutRestored)
                t->resizeColumnsToContents();
        }
    }
    if (lines && c.endMessage) {
        endShown = true;
        control(CANCEL_BUTTON).enable(true);
        control(FILE_TEXT).settext("");
        control(STATUS_TEXT).settext(c.endMessage->c_str());
        control(CANCEL_BUTTON).posttitle("Close");
        control(BUSY_INDICATOR).postvisible(false);
        // A batch that stopped before it knew its size must not stay a busy bar.
        control(PROGRESS_BAR).postindeterminate(false);
        explainending(*c.endMessage);
    }
}

// ---- the same on the main thread ----------------------------------------------

void ProcessingWindow::takeentry(const std::string& text, std::vector<TrackResult>& rows)
{
    const bool first = runLog.empty();
    runLog += text;
    if (startswith(text, "Processing: ")) {
        inTrack = true;
        return;
    }
    if (inTrack || (first && text.find(START_SUFFIX) != std::string::npos))
        return;
    if (startswith(text, NOT_LOCAL)) {
        // A library entry that is no file here: a skipped row of its own.
        TrackResult skipped;
        std::string location = withoutlinefeed(text).substr(std::char_traits<char>::length(NOT_LOCAL));
        if (location.size() >= 2 && location.compare(location.size() - 2, 2, "'.") == 0)
            location.resize(location.size() - 2);
        skipped.path = location;
        skipped.outcome = TrackOutcome::skipped;
        skipped.entries = text;
        rows.push_back(std::move(skipped));
        return;
    }
    batchLines.push_back(text);
}

void ProcessingWindow::showcounts()
{
    std::string text = preview ? model->listingtext() : ResultsModel::countstext(model->counts());
    if (batch.outcome() == BatchProcessor::Outcome::cancelled && !batch.running()) {
        std::string how = "Cancelled";
        if (batch.trackCount() > 0)
            how += " after " + std::to_string(batch.finishedTracks()) + " of " + std::to_string(batch.trackCount()) +
                " tracks";
        text = how + ": " + text;
    }
    control(SUMMARY_TEXT).settext(text.c_str());
}

void ProcessingWindow::restorelayout()
{
    layoutRestored = false;
    QTableView* t = table();
    if (!t)
        return;
    PreferenceStore& store = mainWindow.preferencestore();
    try {
        char size[32];
        store.getString(SHEET_SIZE_KEY, size, sizeof size);
        int width = 0, height = 0;
        if (std::sscanf(size, "%dx%d", &width, &height) == 2 && width > 0 && height > 0)
            platformwindow()->resize(width, height);
    } catch (int) {
        // None kept: the sheet's own size.
    }
    try {
        ovra::Ptr_auto<char> state;
        store.getData(RESULTS_COLUMNS_KEY, state);
        layoutRestored = t->horizontalHeader()->restoreState(QByteArray(state.get(), int(state.size())));
    } catch (int) {
        // None kept: the columns fit their first rows.
    }
    // The order the batch met the tracks, whatever was kept.
    t->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
}

void ProcessingWindow::savelayout()
{
    QTableView* t = table();
    if (!iscreated() || !t)
        return;
    PreferenceStore& store = mainWindow.preferencestore();
    try {
        const QByteArray state = t->horizontalHeader()->saveState();
        store.setData(RESULTS_COLUMNS_KEY, state.constData(), size_t(state.size()));
        const QSize size = platformwindow()->size();
        store.setString(SHEET_SIZE_KEY, QString::asprintf("%dx%d", size.width(), size.height()).toUtf8().constData());
    } catch (int) {
        // Not kept: the next sheet starts as the first did.
    }
}

// Says in words what the end of the batch means: the counts, and what
// happened outside the tracks, as an error when errors were counted there.
void ProcessingWindow::explainending(const std::string& message)
{
    showcounts();
    int trackErrors = 0;
    for (int r = 0; r < model->rowCount(); ++r)
        trackErrors += model->result(r).errors;
    bool failure = batch.errorCount() > trackErrors || batch.outcome() == BatchProcessor::Outcome::aborted;
    std::string said;
    for (const std::string& line : batchLines) {
        std::string text = withoutlinefeed(line);
        if (startswith(line, LIBRARY_ERROR))
            text = librarytrouble(std::atoi(line.c_str() + std::char_traits<char>::length(LIBRARY_ERROR)), libraryPath);
        said += std::string(said.empty() ? "" : "\n") + text;
    }
    if (said.empty() && message == "Playlist not found")
        said = "The playlist \"" + shownSettings.playlist + "\" is not in the library file " + libraryPath + ".";
    if (model->rowCount() == 0 && batch.outcome() == BatchProcessor::Outcome::finished) {
        const int source = shownSettings.source;
        // Not "There were errors" beside counts of nothing: what is true is
        // that there were no tracks, and the note below says why.
        std::string empty = "No tracks found.";
        if (startswith(message, "There were errors"))
            control(STATUS_TEXT).settext("No tracks found.");
        if (source == SOURCE_PLAYLIST) {
            empty = "The playlist \"" + shownSettings.playlist + "\" has no tracks.";
        } else if (source == SOURCE_LIBRARY) {
            empty = "The library lists no tracks.";
        } else if (source == SOURCE_PLAYLIST_FILE) {
            empty = "The playlist file " + shownSettings.playlistFile + " lists no track found on this computer.";
        } else {
            struct stat st;
            const std::string& folder = shownSettings.path;
            if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                if (said.find(folder) == std::string::npos)
                    said += std::string(said.empty() ? "" : "\n") + "The folder " + folder +
                        " does not exist, so there were no tracks to process.";
                failure = true;
            } else {
                empty = "No MP3, M4A, FLAC, Ogg or Opus files were found in " + folder + ".";
            }
        }
        if (!empty.empty())
            control(SUMMARY_TEXT).settext(empty.c_str());
    }
    if (QWidget* problem = findcontrol(PROBLEM_TEXT)) {
        if (failure)
            seterrortext(problem);
        else
            problem->setPalette(QPalette()); // a note, in the ordinary colour
    }
    control(PROBLEM_TEXT).settext(said.c_str());
    control(PROBLEM_TEXT).setvisible(!said.empty());
    if (preview && batch.outcome() == BatchProcessor::Outcome::finished)
        control(STATUS_TEXT).settext("Preview done: nothing was decoded or written.");
    if (QTableView* t = table(); t && model->rowCount() > 0 && !layoutRestored) {
        t->resizeColumnsToContents();
        t->horizontalHeader()->setStretchLastSection(true);
    } else if (t && model->rowCount() > 0) {
        // Kept widths stay, but no value of this batch is cut short by them
        // (a preview's narrow columns would hide a run's "old -> new").
        for (int c = 0; c < model->columnCount() - 1; ++c) {
            const int kept = t->columnWidth(c);
            t->resizeColumnToContents(c);
            t->setColumnWidth(c, std::max(kept, t->columnWidth(c)));
        }
    }
}

} // namespace ovra::tempix
