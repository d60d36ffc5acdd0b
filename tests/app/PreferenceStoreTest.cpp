#include "platform/settings/PreferenceStore.h"
#include "app/SavedSettings.h"
#include "support/Process.h"
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

TEST_F(PreferenceStoreTest, ValuesSurviveInTheDomainFile)
{
    {
        PreferenceStore store(nullptr, false);
        store.setInt("source", 3);
        store.setString("path", "/music/Ünïcode, with comma");
        store.setData("blob", "a\0b", 3);
        store.synchronize();
    }
    EXPECT_TRUE(fs::exists(config / "com.quillfen.tempix.conf"));
    PreferenceStore store(PREFERENCE_DOMAIN, true);
    EXPECT_EQ(store.getInt("source"), 3);
    char buffer[64];
    store.getString("path", buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "/music/Ünïcode, with comma");
    ovra::Ptr_auto<char> block;
    store.getData("blob", block);
    ASSERT_EQ(block.size(), 3u);
    EXPECT_EQ(std::string(block.get(), 3), std::string("a\0b", 3));
}

TEST_F(PreferenceStoreTest, MissingMistypedAndOversizedValuesThrow)
{
    writeConf("[General]\nsource=abc\ncount=12\nlist=a, b\npath=0123456789\n");
    PreferenceStore store(nullptr, true);
    char buffer[11];
    EXPECT_EQ(testsupport::codeof([&] { store.getInt("missing"); }), -1);
    EXPECT_EQ(testsupport::codeof([&] { store.getInt("source"); }), -1);
    EXPECT_EQ(store.getInt("count"), 12);
    EXPECT_EQ(testsupport::codeof([&] { store.getInt("list"); }), -1);
    EXPECT_EQ(testsupport::codeof([&] { store.getString("missing", buffer, sizeof buffer); }), -1);
    // Ten bytes and the NUL fit eleven, not ten.
    store.getString("path", buffer, 11);
    EXPECT_STREQ(buffer, "0123456789");
    EXPECT_EQ(testsupport::codeof([&] { store.getString("path", buffer, 10); }), -1);
    ovra::Ptr_auto<char> block;
    EXPECT_EQ(testsupport::codeof([&] { store.getData("missing", block); }), -1);
}

// The defaults, saving and the genre group fall-back are checked through the
// main window (MainWindowTest), which loads and saves them as a run does.
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

TEST_F(PreferenceStoreTest, ARelativeConfigFolderIsIgnored)
{
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(PreferenceStore::filePath(nullptr), (home.root() / ".config/com.quillfen.tempix.conf").string());
}
