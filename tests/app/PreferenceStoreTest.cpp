#include "platform/settings/PreferenceStore.h"
#include "app/SavedSettings.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace ovra::tempix;
using ovra::PreferenceStore;

namespace {

// A fresh XDG_CONFIG_HOME for each test.
class PreferenceStoreTest : public ::testing::Test {
protected:
    testsupport::TempHome home;
    fs::path config = home.root() / ".config";
    void writeConf(const std::string& text)
    {
        fs::create_directories(config);
        std::ofstream(config / "com.quillfen.tempix.conf") << text;
    }
};

} // namespace

// Values, their types, saving and the genre group fall-back are checked
// through the main window (MainWindowTest) and tempix-cli (BatchCli), which
// load and save them as a run does. A value that does not fit its field is
// no value: the path fills its field, the playlist name is one too long.
TEST_F(PreferenceStoreTest, OverlongStringsCountAsUnreadable)
{
    writeConf("[General]\nplaylist=" + std::string(80, 'p') + "\npath=" + std::string(1023, 'q') + "\n");
    BatchSettings settings;
    BatchOptions options;
    PreferenceStore store(nullptr, true);
    loadSettings(store, settings, options);
    EXPECT_EQ(settings.playlist, "");
    EXPECT_EQ(settings.path.size(), 1023u);
}

// A relative XDG_CONFIG_HOME would put the settings wherever the program was started.
TEST_F(PreferenceStoreTest, ARelativeConfigFolderIsIgnored)
{
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(PreferenceStore::filePath(nullptr), (home.root() / ".config/com.quillfen.tempix.conf").string());
}
