#include "app/PendingJournalsDialog.h"
#include "platform/ErrorCodes.h"
#include "tags/WriteJournal.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>

namespace ovra::tempix {

namespace {
constexpr int JOURNAL_ROLE = Qt::UserRole;
}

PendingJournalsDialog::PendingJournalsDialog(QWidget* parent)
    : QDialog(parent), entries(new QListWidget(this)), summary(new QLabel(this)),
      forget(new QPushButton("&Forget Journal...", this))
{
    setWindowTitle("Interrupted Updates");
    summary->setWordWrap(true);
    entries->setWordWrap(true);
    entries->setAlternatingRowColors(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(forget, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(entries, &QListWidget::currentRowChanged, this, [this](int row) { forget->setEnabled(row >= 0); });
    connect(forget, &QPushButton::clicked, this, [this] {
        forgetselected([this](const QString& question) {
            return QMessageBox::question(this, "Forget Journal", question, QMessageBox::Cancel | QMessageBox::Yes,
                                         QMessageBox::Cancel) == QMessageBox::Yes;
        });
    });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(summary);
    layout->addWidget(entries, 1);
    layout->addWidget(buttons);
    resize(640, 360);
    reload();
}

int PendingJournalsDialog::reload()
{
    entries->clear();
    const std::vector<ovra::PendingJournal> pending = ovra::pendingjournals();
    for (const ovra::PendingJournal& p : pending) {
        QString track = p.track.empty() ? "(the track's name is lost)" : QString::fromStdString(p.track);
        auto* item = new QListWidgetItem(track + "\n" + QString::fromStdString(p.state), entries);
        item->setData(JOURNAL_ROLE, QString::fromStdString(p.file));
        item->setToolTip("Journal: " + QString::fromStdString(p.file));
    }
    summary->setText(pending.empty()
                         ? "No interrupted tag update is waiting."
                         : "These tag updates were interrupted and are not settled. A track whose journal waits "
                           "is restored when it is back; a damaged journal keeps its track reported by every batch "
                           "until you forget it. Forgetting a journal loses the original bytes it keeps.");
    forget->setEnabled(false);
    return int(pending.size());
}

void PendingJournalsDialog::forgetselected(const std::function<bool(const QString& question)>& confirm)
{
    QListWidgetItem* item = entries->currentItem();
    if (item == nullptr)
        return;
    const QString file = item->data(JOURNAL_ROLE).toString();
    if (!confirm("Forget this journal? The original bytes it keeps are lost, and the track stays as it is now.\n\n" +
                 item->text()))
        return;
    std::string forgotten;
    const int e = ovra::discardjournal(file.toStdString(), forgotten);
    if (e != 0 && e != ENOENT)
        summary->setText("The journal could not be forgotten: " + QString::fromStdString(ovra::errorText(e)) + ".");
    else
        reload();
}

} // namespace ovra::tempix
