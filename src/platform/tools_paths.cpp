#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ovra {

#ifndef TEMPIX_HELPERS_FROM_BIN
#define TEMPIX_HELPERS_FROM_BIN "../libexec/tempix"
#endif

// The folder of the running program; its links are resolved by the kernel.
static bool programfolder(std::string& dir)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return false;
    dir.assign(exe, static_cast<size_t>(n));
    dir.erase(dir.rfind('/'));
    return true;
}

int getbundlepath(char* out)
{
    std::string dir;
    if (!programfolder(dir))
        return -1;
    if (dir.rfind('/') != std::string::npos)
        dir.erase(dir.rfind('/'));
    if (dir.empty())
        dir = "/";
    if (dir.size() >= PATH_BUFFER)
        return -1;
    strcpy_max(out, PATH_BUFFER, dir.c_str());
    return 0;
}

int helperpath(const char* name, char* out, size_t size)
{
    std::string dir;
    if (!programfolder(dir))
        return -1;
    // Apply the relative path name by name: the program's folder has no
    // links, so ".." is its parent.
    std::string rel = std::string(TEMPIX_HELPERS_FROM_BIN) + "/" + name;
    for (size_t start = 0; start <= rel.size();) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos)
            end = rel.size();
        std::string part = rel.substr(start, end - start);
        if (part == "..") {
            size_t slash = dir.rfind('/');
            dir.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            dir += "/" + part;
        }
        start = end + 1;
    }
    if (dir.size() >= size)
        return ENAMETOOLONG;
    strcpy_max(out, size, dir.c_str());
    return 0;
}

int resolvealias(const char* path, char* out)
{
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr)
        return errno ? errno : -1;
    strcpy_max(out, PATH_BUFFER, resolved);
    return 0;
}

int resolvealiaspath(const char* path, char* out)
{
    if (path[0] != '/')
        return -1;
    char local[PATH_BUFFER];
    if (out == path) {
        strcpy_max(local, sizeof local, path);
        path = local;
    }
    out[0] = '\0';
    auto append = [&](const char* from, size_t len) {
        size_t used = std::strlen(out);
        if (used < PATH_BUFFER - 1)
            strcpy_max(out + used, PATH_BUFFER - used, from, len);
        resolvealias(out, out); // a failed resolution leaves out as it was
    };
    const char* prev = path;
    for (const char* p = path + 1; *p; ++p) {
        if (*p == '/') {
            append(prev, static_cast<size_t>(p - prev));
            prev = p;
        }
    }
    append(prev, std::strlen(prev));
    return 0;
}

static std::string homedir()
{
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

// $variable when it is an absolute path, else the fallback under $HOME.
static std::string xdgbase(const char* variable, const char* fallback)
{
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] == '/' ? std::string(value) : homedir() + fallback;
}

std::string configfolder() { return xdgbase("XDG_CONFIG_HOME", "/.config"); }

// Reads XDG_<NAME>_DIR from ~/.config/user-dirs.dirs, as xdg-user-dir does.
static std::string xdguserdir(const char* name)
{
    std::string home = homedir();
    std::string file = configfolder() + "/user-dirs.dirs";
    FILE* f = std::fopen(file.c_str(), "r");
    if (!f)
        return "";
    std::string key = std::string("XDG_") + name + "_DIR=";
    std::string result;
    char line[2048];
    while (std::fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (s.compare(0, key.size(), key) != 0)
            continue;
        std::string value = s.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.compare(0, 5, "$HOME") == 0)
            value = home + value.substr(5);
        if (!value.empty() && value[0] == '/' && value != home && value != home + "/")
            result = value;
    }
    std::fclose(f);
    return result;
}

static void homesubfolder(const char* xdgname, const char* fallback, char* out)
{
    std::string dir = xdguserdir(xdgname);
    if (dir.empty())
        dir = homedir() + "/" + fallback;
    strcpy_max(out, PATH_BUFFER, dir.c_str());
    resolvealiaspath(out, out);
}

void homemusicfolder(char* out) { homesubfolder("MUSIC", "Music", out); }

void homedocumentsfolder(char* out) { homesubfolder("DOCUMENTS", "Documents", out); }

std::string logfolder()
{
    std::string dir = xdgbase("XDG_STATE_HOME", "/.local/state") + "/tempix";
    // Create each missing level; failures show up when the log is opened.
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/')
            mkdir(dir.substr(0, i).c_str(), 0755);
    }
    return dir;
}

void logfolder(char* out) { strcpy_max(out, PATH_BUFFER, logfolder().c_str()); }

std::string logfilepath() { return logfolder() + "/Tempix.log"; }

} // namespace ovra
