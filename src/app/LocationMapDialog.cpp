#include "app/LocationMapDialog.h"
#include "plist/LocationMap.h"
#include "platform/window/ThemeColours.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace ovra::tempix {

LocationMapDialog::LocationMapDialog(QWidget* parent, const std::vector<std::string>& maps)
    : QDialog(parent), rows(new QTableWidget(0, 2, this)), trouble(new QLabel(this))
{
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
        if (row < 0)
            return;
        QString chosen = QFileDialog::getExistingDirectory(this, "Folder on this computer", rows->item(row, 1)->text());
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
    layout->addWidget(trouble);
    layout->addWidget(buttons);
    resize(640, 320);
}

void LocationMapDialog::addrow(const QString& prefix, const QString& folder)
{
    int row = rows->rowCount();
    rows->insertRow(row);
    rows->setItem(row, 0, new QTableWidgetItem(prefix));
    rows->setItem(row, 1, new QTableWidgetItem(folder));
}

QString LocationMapDialog::troubletext() const { return trouble->text(); }

void LocationMapDialog::accept()
{
    std::vector<std::string> maps;
    ovra::LocationMap check;
    for (int row = 0; row < rows->rowCount(); ++row) {
        std::string prefix = rows->item(row, 0)->text().trimmed().toStdString();
        std::string folder = rows->item(row, 1)->text().trimmed().toStdString();
        if (prefix.empty() && folder.empty())
            continue; // a row added and left empty
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

} // namespace ovra::tempix
