// Shared by the script and batch tests: a generated library with real tagged
// audio files, and a fixture that gives each test a fresh copy of it.
#pragma once
#include "support/Process.h"
#include "support/Readers.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scripttest {

using testsupport::fakeopener;
using testsupport::plistquery;
using testsupport::readfile;
using testsupport::run;
using testsupport::shellquote;
using testsupport::writefile;

// The library and its four audio files, made once per build (and again when
// the script that makes them changes) and shared by the tests, which work on
// copies of the library file. Returns the library path, "" when it failed.
inline std::string makelibrary()
{
    const std::string script = TEMPIX_SOURCE_DIR "/tests/script/make_library.py";
    struct stat st {};
    if (stat(script.c_str(), &st) != 0)
        return {};
    std::string cache = std::string(TEMPIX_BINARY_DIR) + "/test-script-library-" + std::to_string(st.st_mtime);
    std::string library = cache + "/iTunes Music Library.xml";
    // Tests run in parallel: one makes it, the others wait for it.
    int lock = open((cache + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
    if (lock < 0)
        return {};
    flock(lock, LOCK_EX);
    if (access((cache + "/done").c_str(), F_OK) != 0) {
        run("rm -rf " + shellquote(cache));
        mkdir(cache.c_str(), 0755);
        if (run(std::string(TEMPIX_PYTHON) + " " + script + " " + shellquote(cache) + " > /dev/null") == 0)
            writefile(cache + "/done", "");
    }
    bool ok = access((cache + "/done").c_str(), F_OK) == 0;
    flock(lock, LOCK_UN);
    close(lock);
    return ok ? library : std::string();
}

// A test on a fresh copy of the generated library, in a folder the suite
// shares; nothing a test opens may reach a real viewer.
class LibraryTest : public ::testing::Test {
protected:
    static inline std::string dir, pristine;
    std::string library;

    static void SetUpTestSuite()
    {
        dir = testsupport::suitefolder();
        pristine = makelibrary();
        fakeopener(dir, dir + "/opened");
    }

    // Puts the copy at dir/name, as library.
    void copylibrary(const std::string& name)
    {
        ASSERT_FALSE(pristine.empty()) << "library generation failed";
        library = dir + "/" + name;
        writefile(library, readfile(pristine));
    }
};

// The script the batch sends for one track, with the given selector and commands.
inline std::string trackscript(const std::string& selector, const std::string& commands)
{
    return "tell application \"iTunes\"\nset mytargets to every file track of playlist 1 whose " + selector +
        "\nif mytargets is {} then return 0\n"
        "if the class of mytargets is list then\nset mytrack to the first item in mytargets\n"
        "else\nset mytrack to mytargets\nend if\nrefresh mytrack\n" +
        commands + "end tell\nreturn 1\n";
}

// What large_library.py prints for the arguments (see there).
inline std::string largelibrary(const std::string& args)
{
    return testsupport::runcommand(std::string(TEMPIX_PYTHON) +
                                   " " TEMPIX_SOURCE_DIR "/tests/script/large_library.py " + args);
}

// Waits up to five seconds for a file that a detached process writes.
inline std::string waitforfile(const std::string& path)
{
    for (int i = 0; i < 500; ++i) {
        if (access(path.c_str(), F_OK) == 0)
            return readfile(path);
        usleep(10000);
    }
    return "<never written>";
}

} // namespace scripttest
