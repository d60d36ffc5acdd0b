// The location mappings' dialog against a library file whose tracks were
// written on another computer: the row it suggests, the count of tracks its
// rows find as they are edited, and the notice that opens it after a batch
// found nothing.
#include "DesktopFixture.h"
#include "support/BatchLibraryText.h"
#include "app/LocationMapDialog.h"
#include "batch/TrackLocations.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTableWidget>

using namespace ovra::tempix;

namespace {

const std::string ANNA = "file://localhost/C:/Users/Anna%20Smith/Music/";

class LocationMapDialogTest : public DesktopTest {
protected:
    // Eight track files, six under Anna's music folder, two on a disk; and a stream.
    fs::path library()
    {
        std::vector<std::string> locations;
        for (int i = 1; i <= 6; ++i)
            locations.push_back(ANNA + "Album%201/t" + std::to_string(i) + ".mp3");
        locations.push_back("file:///Volumes/Old%20Disk/x1.mp3");
        locations.push_back("file:///Volumes/Old%20Disk/x2.mp3");
        locations.push_back("http://radio.example.com/live.mp3");
        fs::path file = home / "Library.xml";
        testsupport::writefile(file.string(), testsupport::libraryOf(locations, 100));
        return file;
    }

    // Anna's six files, here under home/Anna.
    fs::path annasfiles()
    {
        fs::path album = home / "Anna/Album 1";
        fs::create_directories(album);
        for (int i = 1; i <= 6; ++i)
            std::ofstream(album / ("t" + std::to_string(i) + ".mp3")) << "not audio: only its place counts";
        return home / "Anna";
    }

    // What the dialog says once it has counted.
    static std::string found(LocationMapDialog& d)
    {
        EXPECT_TRUE(waitfor([&] { return !d.counting() && d.foundtext().contains(" of "); }, 20000));
        return d.foundtext().toStdString();
    }
};

} // namespace

// The row suggested, the count as its folder is typed, and the mappings kept.
TEST_F(LocationMapDialogTest, OpensWithTheMissingPrefixAndCountsAsTheRowsChange)
{
    const fs::path lib = library();
    const fs::path anna = annasfiles();
    LocationMapDialog d(nullptr, {}, lib.string());
    EXPECT_EQ(found(d), "0 of 8 tracks found.");
    // The folder six of the eight share, as a path: decoded, no URL.
    ASSERT_EQ(d.table()->rowCount(), 1);
    EXPECT_EQ(d.table()->item(0, 0)->text().toStdString(), "C:/Users/Anna Smith/Music/Album 1/");
    EXPECT_EQ(d.table()->item(0, 1)->text().toStdString(), "");

    // One folder short of the files: it says where it looked.
    d.table()->item(0, 1)->setText(QString::fromStdString(anna.string()));
    EXPECT_EQ(found(d), "0 of 8 tracks found; the missing ones were looked for in " + anna.string() + "/.");

    d.table()->item(0, 1)->setText(QString::fromStdString((anna / "Album 1").string()));
    EXPECT_EQ(found(d), "6 of 8 tracks found.");
    d.accept();
    EXPECT_EQ(d.maps(), std::vector<std::string>{"C:/Users/Anna Smith/Music/Album 1/=" + (anna / "Album 1").string()});

    // Opened again, the row stays and the two others' folder is suggested;
    // left without a folder, the suggestion is no mapping.
    LocationMapDialog again(nullptr, d.maps(), lib.string());
    EXPECT_EQ(found(again), "6 of 8 tracks found.");
    ASSERT_EQ(again.table()->rowCount(), 2);
    EXPECT_EQ(again.table()->item(1, 0)->text().toStdString(), "/Volumes/Old Disk/");
    again.accept();
    EXPECT_EQ(again.QDialog::result(), QDialog::Accepted) << again.troubletext().toStdString();
    EXPECT_EQ(again.maps(), d.maps());

    // A library that cannot be read says so instead of counting.
    LocationMapDialog none(nullptr, {}, (home / "missing.xml").string());
    ASSERT_TRUE(waitfor([&] { return !none.counting(); }, 20000));
    EXPECT_TRUE(none.foundtext().contains("does not exist")) << none.foundtext().toStdString();
    EXPECT_EQ(none.table()->rowCount(), 0);
}

// The batch's hint lines, made by the batch's own location finder, make a
// notice with the prefix as a path and the folder the mapping led to; its
// button opens the mappings.
TEST_F(LocationMapDialogTest, NothingFoundNoticeOpensTheMappings)
{
    const fs::path wrong = home / "Music/Anna/Album 1";
    TrackLocations locations({"C:/Users/Anna Smith/Music=" + wrong.string()});
    for (int i = 1; i <= 3; ++i) {
        const std::string location = ANNA + "Album%201/t" + std::to_string(i) + ".mp3";
        TrackLocations::Found f = locations.find(location.c_str());
        ASSERT_TRUE(f.usable);
        locations.processed(location.c_str(), f.path, true);
    }
    std::string log = "Tempix started.\n";
    for (const std::string& line : locations.notFoundHint())
        log += line;
    EXPECT_NE(log.find("The location mappings led to '" + (wrong / "Album 1/").string() +
                       "', and the files are not there.\n"),
              std::string::npos)
        << log;

    int opened = 0;
    QMessageBox* box = nothingfoundnotice(nullptr, log, [&] { ++opened; });
    ASSERT_NE(box, nullptr);
    std::unique_ptr<QMessageBox> owned(box);
    EXPECT_TRUE(box->text().contains("Most of them are at C:/Users/Anna Smith/Music/Album 1/ on"))
        << box->text().toStdString();
    EXPECT_TRUE(box->text().contains(QString::fromStdString("looked for in " + (wrong / "Album 1/").string())));
    QAbstractButton* map = nullptr;
    for (QAbstractButton* b : box->buttons())
        if (b->text() == "Map Locations...")
            map = b;
    ASSERT_NE(map, nullptr);
    map->click();
    EXPECT_EQ(opened, 1);

    EXPECT_EQ(nothingfoundnotice(nullptr, "Tempix started.\nTrack updated.\n", [] {}), nullptr);
}
