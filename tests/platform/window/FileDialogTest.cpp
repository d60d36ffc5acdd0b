#include "support/TempFolders.h"
#include "OffscreenApp.h"
#include "platform/window/FileDialog.h"
#include "platform/window/WindowEvents.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace ovra;
namespace fs = std::filesystem;

namespace {
class Chooser : public WindowEvents, public FileDialog {
public:
    std::vector<std::string> chosen;
    int answer = 0;
    int folderchosen(const char* path) override
    {
        chosen.push_back(path);
        return answer;
    }
};
} // namespace

TEST(FolderChooser, ChosenFolderArrivesThroughTheClientOperation)
{
    ensureapplication();
    setinterfacefolder(TEMPIX_SOURCE_DIR "/tests/platform/window/ui");
    testsupport::TempDir scratch;
    fs::path dir = scratch.root();
    fs::create_directory(dir / "Albums");

    Chooser chooser;
    ASSERT_EQ(chooser.createwindow("ProbeWindow"), 0);
    chooser.show(true);
    chooser.setinitialfolder(dir.c_str());
    chooser.setmodality(&chooser);
    ASSERT_EQ(chooser.run(), 0);
    QFileDialog* d = chooser.dialog();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(d->windowModality(), Qt::WindowModal);
    EXPECT_EQ(d->directory().absolutePath().toStdString(), dir.string());
    EXPECT_TRUE(chooser.chosen.empty()); // nothing until the user chooses
    d->selectFile(QString::fromStdString((dir / "Albums").string()));
    static_cast<QDialog*>(d)->accept();
    ASSERT_EQ(chooser.chosen.size(), 1u);
    EXPECT_EQ(chooser.chosen[0], (dir / "Albums").string());
    processpendingevents();
    EXPECT_EQ(chooser.dialog(), nullptr);
    setinterfacefolder(nullptr);
}

TEST(FolderChooser, DeliveryStopsAtANonZeroAnswerOrAPathTooLong)
{
    Chooser chooser;
    std::string paths[] = {"/a", "/b", "/c"};
    chooser.answer = 1;
    chooser.deliver(paths, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});

    chooser.chosen.clear();
    chooser.answer = 0;
    std::string more[] = {"/a", "/" + std::string(1023, 'x'), "/c"};
    chooser.deliver(more, 3);
    EXPECT_EQ(chooser.chosen, std::vector<std::string>{"/a"});
}
