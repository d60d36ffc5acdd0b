// The folder chooser. The deriving class receives each chosen folder.
#pragma once
#include <QPointer>


#include <string>

#include <QFileDialog>

namespace ovra {

class NativeWindow;

class FileDialog {
public:
    FileDialog() = default;
    virtual ~FileDialog();
    FileDialog(const FileDialog&) = delete;
    FileDialog& operator=(const FileDialog&) = delete;

    // A chosen folder (at most 1023 bytes of UTF-8); 0 to take further
    // chosen items, non-zero to stop.
    virtual int folderchosen(const char* path) = 0;

    void setinitialfolder(const char* path) { initialFolder = path ? path : ""; }
    // A parent makes the chooser window-modal over it.
    void setmodality(NativeWindow* parent) { parentWindow = parent; }
    // Opens the chooser and returns at once; the choice arrives later.
    int run();
    // The open chooser, or null.
    QFileDialog* dialog() const { return current.data(); }

    // Hands the chosen paths to folderchosen in order, as the chooser does.
    void deliver(const std::string* paths, size_t count);

private:
    std::string initialFolder;
    NativeWindow* parentWindow = nullptr;
    QPointer<QFileDialog> current;
};

} // namespace ovra
