#include "platform/settings/PreferenceStore.h"
#include "app/SavedSettings.h"

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
    fs::path dir;
    void SetUp() override
    {
        char templ[] = "/tmp/tempix-prefs-XXXXXX";
        dir = mkdtemp(templ);
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(dir);
    }
    void writeConf(const std::string& text)
    {
        fs::create_directories(dir / "config");
        std::ofstream(dir / "config" / "com.quillfen.tempix.conf") << text;
    }
    template <typename F>
    static int code(F f)
    {
        try {
            f();
        } catch (int c) {
            return c;
        }
        return 0;
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
    EXPECT_TRUE(fs::exists(dir / "config" / "com.quillfen.tempix.conf"));
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
    EXPECT_EQ(code([&] { store.getInt("missing"); }), -1);
    EXPECT_EQ(code([&] { store.getInt("source"); }), -1);
    EXPECT_EQ(store.getInt("count"), 12);
    EXPECT_EQ(code([&] { store.getInt("list"); }), -1);
    EXPECT_EQ(code([&] { store.getString("missing", buffer, sizeof buffer); }), -1);
    // Ten bytes and the NUL fit eleven, not ten.
    store.getString("path", buffer, 11);
    EXPECT_STREQ(buffer, "0123456789");
    EXPECT_EQ(code([&] { store.getString("path", buffer, 10); }), -1);
    ovra::Ptr_auto<char> block;
    EXPECT_EQ(code([&] { store.getData("missing", block); }), -1);
}

TEST_F(PreferenceStoreTest, AFirstRunGetsTheDefaults)
{
    BatchSettings settings;
    settings.source = 2;
    settings.path = "/x";
    settings.genrepolicy = 0;
    BatchOptions options;
    options.detectbpm = false;
    options.reprocess = true;
    PreferenceStore store(nullptr, true);
    loadSettings(store, settings, options);
    EXPECT_EQ(settings.source, 0);
    EXPECT_EQ(settings.path, "");
    EXPECT_EQ(settings.playlist, "");
    EXPECT_TRUE(options.detectbpm);
    EXPECT_FALSE(options.overwritebpm);
    EXPECT_FALSE(options.optimizetimes);
    EXPECT_FALSE(options.lessintro);
    EXPECT_FALSE(options.overwritetimes);
    EXPECT_FALSE(options.adjustvolume);
    EXPECT_FALSE(options.overwritevolume);
    EXPECT_TRUE(options.exportToLibrary);
    EXPECT_FALSE(options.reprocess);
    EXPECT_EQ(settings.genrepolicy, 1);
    EXPECT_EQ(settings.badgenres, DEFAULT_BADGENRES);
    EXPECT_EQ(settings.badgenres.size(), 82u);
    EXPECT_EQ(settings.goodgenres, "");
}

TEST_F(PreferenceStoreTest, SavedSettingsLoadBack)
{
    BatchSettings saved;
    saved.source = 2;
    saved.path = "/srv/music";
    saved.playlist = "Party & more";
    saved.genrepolicy = 2;
    saved.badgenres = "a";
    saved.goodgenres = "rock,\npop";
    BatchOptions options;
    options.detectbpm = false;
    options.adjustvolume = true;
    options.exportToLibrary = false;
    options.reprocess = true;
    {
        PreferenceStore store(nullptr, false);
        saveSettings(store, saved, options);
    }
    BatchSettings loaded;
    BatchOptions back;
    PreferenceStore store(nullptr, true);
    loadSettings(store, loaded, back);
    EXPECT_EQ(loaded.source, 2);
    EXPECT_EQ(loaded.path, saved.path);
    EXPECT_EQ(loaded.playlist, saved.playlist);
    EXPECT_EQ(loaded.genrepolicy, 2);
    EXPECT_EQ(loaded.badgenres, "a");
    EXPECT_EQ(loaded.goodgenres, "rock,\npop");
    EXPECT_FALSE(back.detectbpm);
    EXPECT_TRUE(back.adjustvolume);
    EXPECT_FALSE(back.exportToLibrary);
    EXPECT_TRUE(back.reprocess);
}

TEST_F(PreferenceStoreTest, TheGenreGroupFallsBackAsAWhole)
{
    // goodgenres is stored but badgenres is not: all three take the default.
    writeConf("[General]\ngenrepolicy=2\ngoodgenres=rock\ndetectbpm=yes\noverwritebpm=1\n");
    BatchSettings settings;
    BatchOptions options;
    PreferenceStore store(nullptr, true);
    loadSettings(store, settings, options);
    EXPECT_EQ(settings.genrepolicy, 1);
    EXPECT_EQ(settings.badgenres, DEFAULT_BADGENRES);
    EXPECT_EQ(settings.goodgenres, "");
    // A mistyped flag takes its own default; the others are unaffected.
    EXPECT_TRUE(options.detectbpm);
    EXPECT_TRUE(options.overwritebpm);
}

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
