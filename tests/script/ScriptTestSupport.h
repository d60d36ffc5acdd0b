// Shared by the script tests: a generated library with real tagged audio files.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scripttest {

inline std::string maketempdir(const char* tag)
{
    std::string t = std::string("/tmp/tempix-") + tag + "-XXXXXX";
    char* d = mkdtemp(t.data());
    return d ? std::string(d) : std::string();
}

inline std::string readfile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writefile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline int run(const std::string& command) { return std::system(command.c_str()); }

inline std::string shellquoted(const std::string& s)
{
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

// The library and its four audio files, made once per build (and again when
// the script that makes them changes) and shared by the tests, which work on
// copies of the library file. Returns the library path.
inline std::string makelibrary(const std::string&)
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
        run("rm -rf " + shellquoted(cache));
        mkdir(cache.c_str(), 0755);
        if (run(std::string(TEMPIX_PYTHON) + " " + script + " " + shellquoted(cache) + " > /dev/null") == 0)
            writefile(cache + "/done", "");
    }
    bool ok = access((cache + "/done").c_str(), F_OK) == 0;
    flock(lock, LOCK_UN);
    close(lock);
    return ok ? library : std::string();
}

// Runs python with the library file and prints what code prints (plistlib: the
// independent reader of the library file).
inline std::string plistquery(const std::string& library, const std::string& code)
{
    std::string script = "import plistlib,sys\nd = plistlib.load(open(sys.argv[1], 'rb'))\n" + code + "\n";
    char name[] = "/tmp/tempix-query-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return "<mkstemp failed>";
    close(fd);
    writefile(name, script);
    std::string out = std::string(name) + ".out";
    std::string cmd = std::string(TEMPIX_PYTHON) + " " + name + " " + shellquoted(library) + " > " + out + " 2>&1";
    run(cmd);
    std::string r = readfile(out);
    std::remove(name);
    std::remove(out.c_str());
    return r;
}

// The script the batch sends for one track, with the given selector and commands.
inline std::string trackscript(const std::string& selector, const std::string& commands)
{
    return "tell application \"iTunes\"\n"
           "set mytargets to every file track of playlist 1 whose " +
        selector +
        "\n"
        "if mytargets is {} then return 0\n"
        "if the class of mytargets is list then\n"
        "set mytrack to the first item in mytargets\n"
        "else\n"
        "set mytrack to mytargets\n"
        "end if\n"
        "refresh mytrack\n" +
        commands +
        "end tell\n"
        "return 1\n";
}

// Puts a stand-in for xdg-open first on PATH: it writes each argument it gets
// on a line of its own into log. Returns the folder it lies in.
inline std::string fakeopener(const std::string& dir, const std::string& log)
{
    std::string bin = dir + "/fakebin";
    mkdir(bin.c_str(), 0755);
    writefile(bin + "/xdg-open",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellquoted(log + ".part") + "\nmv " +
                  shellquoted(log + ".part") + " " + shellquoted(log) + "\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    return bin;
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
