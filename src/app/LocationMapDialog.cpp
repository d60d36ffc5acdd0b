#include "app/LocationMapDialog.h"
#include "batch/TrackLocations.h"
#include "plist/LocationMap.h"
#include "platform/tools_paths.h"
#include "platform/window/ThemeColours.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace ovra::tempix {

namespace {

// The text a line of the log has where its format has "%s"; false when the
// log holds no such line.
bool loggedvalue(const std::string& log, const char* format, std::string& value)
{
    const std::string f = format;
    const size_t mark = f.find("%s");
    const std::string before = f.substr(0, mark), after = f.substr(mark + 2);
    const size_t at = log.find(before);
    if (mark == std::string::npos || at == std::string::npos)
        return false;
    const size_t from = at + before.size();
    const size_t to = log.find(after, from);
    if (to == std::string::npos)
        return false;
    value = log.substr(from, to - from);
    return true;
}

} // namespace

LocationMapDialog::LocationMapDialog(QWidget* parent, const std::vector<std::string>& maps,
                                     const std::string& libraryPath)
    : QDialog(parent), rows(new QTableWidget(0, 2, this)), found(new QLabel(this)), trouble(new QLabel(this)),
      library(libraryPath)
{
    found->setWordWrap(true);
    found->setObjectName("foundText");
    trouble->setWordWrap(true);
    ovra::seterrortext(trouble);
    trouble->hide();
    setWindowTitle("Map Locations");
    auto* text = new QLabel("Where the library's tracks are on this computer. A location that begins with a prefix "
                            "is looked for in its folder; the longest matching prefix counts. A prefix is written "
                            "as in the library (file://localhost/C:/Users/anna/Music/) or as a path "
                            "(C:\\Users\\anna\\Music, /Users/anna/Music). The library file itself is not changed.",
                            this);
    text->setWordWrap(true);
    rows->setHorizontalHeaderLabels({"Library location prefix", "Folder on this computer"});
    rows->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    rows->verticalHeader()->hide();
    rows->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (const std::string& m : maps) {
        size_t eq = m.find("=/");
        if (eq != std::string::npos)
            addrow(QString::fromStdString(m.substr(0, eq)), QString::fromStdString(m.substr(eq + 1)));
    }

    auto* add = new QPushButton("&Add", this);
    auto* folder = new QPushButton("Choose &Folder...", this);
    auto* remove = new QPushButton("&Remove", this);
    connect(add, &QPushButton::clicked, this, [this] {
        addrow("", "");
        rows->setCurrentCell(rows->rowCount() - 1, 0);
        rows->editItem(rows->item(rows->rowCount() - 1, 0));
    });
    connect(folder, &QPushButton::clicked, this, [this] {
        int row = rows->currentRow();
        if (row < 0 && rows->rowCount() == 1)
            row = 0;
        if (row < 0)
            return;
        QString start = rows->item(row, 1)->text().trimmed();
        if (start.isEmpty()) {
            char music[ovra::PATH_BUFFER];
            ovra::homemusicfolder(music);
            start = QString::fromUtf8(music);
        }
        QString chosen = QFileDialog::getExistingDirectory(this, "Folder on this computer", start);
        if (!chosen.isEmpty())
            rows->item(row, 1)->setText(chosen);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (rows->currentRow() >= 0)
            rows->removeRow(rows->currentRow());
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &LocationMapDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* edit = new QHBoxLayout;
    edit->addWidget(add);
    edit->addWidget(folder);
    edit->addWidget(remove);
    edit->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(rows);
    layout->addLayout(edit);
    layout->addWidget(found);
    layout->addWidget(trouble);
    layout->addWidget(buttons);
    resize(640, 320);

    if (library.empty()) {
        found->hide();
        return;
    }
    typing.setSingleShot(true);
    typing.setInterval(250);
    connect(&typing, &QTimer::timeout, this, [this] { recount(); });
    connect(rows, &QTableWidget::itemChanged, this, [this] {
        countPending = true;
        typing.start();
    });
    counter = std::make_unique<LocationCount>(this, [this](const LocationTally& t) { counted(t); });
    found->setText("Counting the library's tracks found on this computer...");
    recount();
}

std::vector<std::string> LocationMapDialog::usablerows() const
{
    std::vector<std::string> maps;
    ovra::LocationMap check;
    for (int row = 0; row < rows->rowCount(); ++row) {
        const std::string prefix = rows->item(row, 0)->text().trimmed().toStdString();
        const std::string folder = rows->item(row, 1)->text().trimmed().toStdString();
        if (check.add(prefix, folder).empty())
            maps.push_back(prefix + "=" + folder);
    }
    return maps;
}

void LocationMapDialog::recount()
{
    countPending = true;
    counter->count(library, usablerows());
}

void LocationMapDialog::counted(const LocationTally& t)
{
    if (typing.isActive())
        return; // another count follows
    countPending = false;
    if (!t.trouble.empty()) {
        found->setText(QString::fromStdString(t.trouble));
        return;
    }
    if (t.total == 0) {
        found->setText("The library lists no track files.");
        return;
    }
    QString text = QString("%1 of %2 tracks found").arg(t.found).arg(t.total);
    if (t.found < t.total && !t.lookedIn.empty())
        text += QString("; the missing ones were looked for in %1").arg(QString::fromStdString(t.lookedIn));
    found->setText(text + ".");
    if (suggested)
        return;
    suggested = true;
    // The first look: a row for the prefix most missing tracks share, unless
    // a row already covers it.
    if (t.missingPrefix.empty())
        return;
    ovra::LocationMap current;
    for (const std::string& spec : usablerows())
        current.add(spec);
    if (current.resolve((t.missingPrefix + "x").c_str()).mapped)
        return;
    const QSignalBlocker quiet(rows);
    addrow(QString::fromStdString(prefixaspath(t.missingPrefix)), "");
    rows->item(rows->rowCount() - 1, 0)->setData(Qt::UserRole, true); // left out while it has no folder
    rows->setCurrentCell(rows->rowCount() - 1, 1);
}

void LocationMapDialog::addrow(const QString& prefix, const QString& folder)
{
    int row = rows->rowCount();
    rows->insertRow(row);
    rows->setItem(row, 0, new QTableWidgetItem(prefix));
    rows->setItem(row, 1, new QTableWidgetItem(folder));
}

QString LocationMapDialog::troubletext() const { return trouble->text(); }

QString LocationMapDialog::foundtext() const { return found->text(); }

void LocationMapDialog::accept()
{
    std::vector<std::string> maps;
    ovra::LocationMap check;
    for (int row = 0; row < rows->rowCount(); ++row) {
        std::string prefix = rows->item(row, 0)->text().trimmed().toStdString();
        std::string folder = rows->item(row, 1)->text().trimmed().toStdString();
        if (folder.empty() && (prefix.empty() || rows->item(row, 0)->data(Qt::UserRole).toBool()))
            continue; // a row added or suggested, and left empty
        std::string spec = prefix + "=" + folder;
        std::string why = check.add(prefix, folder);
        if (!why.empty() || prefix.find("=/") != std::string::npos) {
            if (why.empty())
                why = "a prefix cannot hold \"=/\"";
            trouble->setText(QString("Row %1 cannot be used: %2.").arg(row + 1).arg(QString::fromStdString(why)));
            trouble->show();
            rows->setCurrentCell(row, 0);
            return;
        }
        maps.push_back(spec);
    }
    result = maps;
    QDialog::accept();
}

QMessageBox* nothingfoundnotice(QWidget* parent, const std::string& batchLog, std::function<void()> openmaps)
{
    std::string prefix, lookedIn;
    if (!loggedvalue(batchLog, NO_TRACK_FOUND_LINE, prefix))
        return nullptr;
    QString text = QString("None of the library's tracks was found on this computer. Most of them are at %1 on the "
                           "computer the library comes from.")
                       .arg(QString::fromStdString(prefixaspath(prefix)));
    if (loggedvalue(batchLog, LOOKED_IN_LINE, lookedIn))
        text +=
            QString(" With the location mappings they were looked for in %1.").arg(QString::fromStdString(lookedIn));
    auto* box = new QMessageBox(QMessageBox::Information, "Tempix", text, QMessageBox::NoButton, parent);
    box->setInformativeText("Map that folder to the one that holds the files here.");
    QPushButton* map = box->addButton("Map Locations...", QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Close);
    box->setDefaultButton(map);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::buttonClicked, box, [map, openmaps](QAbstractButton* b) {
        if (b == map)
            openmaps();
    });
    return box;
}

} // namespace ovra::tempix
