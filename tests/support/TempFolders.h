// Scratch folders for tests: a folder removed with everything in it, and a
// HOME of its own (configuration and state below it) for the test's life.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <list>
#include <optional>
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
// values come back at the end (before the folder goes).
class TempHome : public TempDir {
public:
    TempHome()
    {
        for (auto& [name, value] : saved) {
            if (const char* v = std::getenv(name))
                value = v;
        }
        setenv("HOME", str().c_str(), 1);
        setenv("XDG_CONFIG_HOME", path(".config").c_str(), 1);
        setenv("XDG_STATE_HOME", path(".local/state").c_str(), 1);
        std::filesystem::create_directories(path(".config"));
    }
    ~TempHome()
    {
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name, value->c_str(), 1);
            else
                unsetenv(name);
        }
    }

private:
    std::pair<const char*, std::optional<std::string>> saved[3] = {
        {"HOME", {}}, {"XDG_CONFIG_HOME", {}}, {"XDG_STATE_HOME", {}}};
};

// A scratch folder for the rest of the test program, removed at its end: for
// what a whole suite shares.
inline std::string suitefolder()
{
    static std::list<TempDir> folders;
    return folders.emplace_back().str();
}

} // namespace testsupport
