// Running other programs from a test and reading what they leave: shell
// commands with their output, shell quoting, whole files, thrown codes.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

namespace testsupport {

inline std::string shellquote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command; returns its exit status (-1 when it did not exit)
// and, when asked, its standard output.
inline int run(const std::string& command, std::string* output = nullptr)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    int status = pclose(pipe);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Standard output of a shell command.
inline std::string runcommand(const std::string& command)
{
    std::string out;
    run(command, &out);
    return out;
}

// Runs python code (with argv[1:] = args) and returns what it prints, errors included.
inline std::string pythonoutput(const std::string& code, const std::vector<std::string>& args)
{
    std::string command = std::string(TEMPIX_PYTHON) + " -c " + shellquote(code);
    for (const std::string& a : args)
        command += " " + shellquote(a);
    return runcommand(command + " 2>&1");
}

// "key=value" lines as a map; lines without '=' are dropped.
inline std::map<std::string, std::string> keyvalues(const std::string& text)
{
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// The whole file, or what could be read of it ("" for a folder).
inline std::string readfile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf(); // a read error ends the text, never throws
    return text.str();
}

inline void writefile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::vector<uint8_t> readbytes(const std::string& path)
{
    std::string text = readfile(path);
    return {text.begin(), text.end()};
}

inline void writebytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    writefile(path, std::string(bytes.begin(), bytes.end()));
}

// Puts a stand-in for xdg-open first on PATH: it writes each argument it gets
// on a line of its own into log. Returns the folder it lies in.
inline std::string fakeopener(const std::string& dir, const std::string& log)
{
    std::string bin = dir + "/fakebin";
    mkdir(bin.c_str(), 0755);
    writefile(bin + "/xdg-open",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellquote(log + ".part") + "\nmv " +
                  shellquote(log + ".part") + " " + shellquote(log) + "\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    return bin;
}

// The int code f throws, or 0.
template <typename F>
int codeof(F f)
{
    try {
        f();
    } catch (int c) {
        return c;
    }
    return 0;
}

} // namespace testsupport
