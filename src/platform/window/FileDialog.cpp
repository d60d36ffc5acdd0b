#include "platform/window/FileDialog.h"
#include "platform/window/NativeWindow.h"
#include "platform/tools_paths.h"

#include <QFileDialog>

#include <vector>

namespace ovra {

FileDialog::~FileDialog() { delete current.data(); }

int FileDialog::run()
{
    if (current) {
        current->raise();
        return 0;
    }
    QWidget* parent = parentWindow ? parentWindow->platformwindow() : nullptr;
    auto* d = new QFileDialog(parent, QFileDialog::tr("Choose a Folder"));
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->setFileMode(QFileDialog::Directory);
    d->setOption(QFileDialog::ShowDirsOnly, true);
    d->setAcceptMode(QFileDialog::AcceptOpen);
    if (!initialFolder.empty())
        d->setDirectory(QString::fromUtf8(initialFolder.c_str()));
    if (parent)
        d->setWindowModality(Qt::WindowModal);
    QObject::connect(d, &QFileDialog::filesSelected, d, [this](const QStringList& files) {
        std::vector<std::string> paths;
        for (const QString& f : files)
            paths.push_back(f.toStdString());
        deliver(paths.data(), paths.size());
    });
    current = d;
    d->open();
    return 0;
}

void FileDialog::deliver(const std::string* paths, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        // A path that does not fit the 1024-byte field ends the walk.
        if (paths[i].empty() || paths[i].size() >= PATH_BUFFER)
            return;
        if (folderchosen(paths[i].c_str()) != 0)
            return;
    }
}

} // namespace ovra
