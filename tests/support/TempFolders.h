// Scratch folders for tests: a folder removed with everything in it, and a
// HOME of its own (configuration and state below it) for the test's life.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <list>
#include <stdexcept>
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tempix-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir = std::filesystem::canonical(pattern).string();
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& str() const { return dir; }
    std::filesystem::path root() const { return dir; }
    std::string path(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// HOME, XDG_CONFIG_HOME and XDG_STATE_HOME inside a scratch folder; the old
// values come back at the end.
class TempHome {
public:
    TempHome()
    {
        for (Saved& s : saved) {
            const char* v = std::getenv(s.name);
            s.had = v != nullptr;
            s.value = v ? v : "";
        }
        setenv("HOME", home.str().c_str(), 1);
        setenv("XDG_CONFIG_HOME", home.path(".config").c_str(), 1);
        setenv("XDG_STATE_HOME", home.path(".local/state").c_str(), 1);
        std::filesystem::create_directories(home.path(".config"));
    }
    ~TempHome()
    {
        for (const Saved& s : saved) {
            if (s.had)
                setenv(s.name, s.value.c_str(), 1);
            else
                unsetenv(s.name);
        }
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& str() const { return home.str(); }
    std::filesystem::path root() const { return home.root(); }
    std::string path(const std::string& name) const { return home.path(name); }

private:
    struct Saved {
        const char* name;
        bool had = false;
        std::string value;
    };
    Saved saved[3] = {{"HOME", false, ""}, {"XDG_CONFIG_HOME", false, ""}, {"XDG_STATE_HOME", false, ""}};
    TempDir home;
};

// A scratch folder for the rest of the test program, removed at its end: for
// what a whole suite shares.
inline std::string suitefolder()
{
    static std::list<TempDir> folders;
    return folders.emplace_back().str();
}

} // namespace testsupport
