#include "plist/LibraryLocation.h"
#include "plist/LibraryRules.h"
#include "platform/settings/PreferenceStore.h"
#include "platform/Ptr_auto.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace ovra {

namespace {

const char* const LIBRARY_DOMAIN = "com.apple.iTunes";
const char* const LIBRARY_LOCATION_KEY = "alis:1:iTunes Library Location";

// Reads the library folder from the library's own preferences; false when
// there is none that names an existing folder.
bool libraryFolder(char* out)
{
    try {
        PreferenceStore store(LIBRARY_DOMAIN, true);
        Ptr_auto<char> block;
        store.getData(LIBRARY_LOCATION_KEY, block);
        size_t size = block.size();
        if (size == 0 || size >= PATH_BUFFER || std::memchr(block.get(), '\0', size) != nullptr)
            return false;
        char folder[PATH_BUFFER];
        std::memcpy(folder, block.get(), size);
        folder[size] = '\0';
        if (folder[0] != '/')
            return false;
        return resolvealias(folder, out) == 0;
    } catch (int) {
        return false;
    }
}

bool pathOf(char* out, const char* folder, const char* name)
{
    int n = std::snprintf(out, PATH_BUFFER, "%s/%s", folder, name);
    return n > 0 && static_cast<size_t>(n) < PATH_BUFFER;
}

void defaultLibraryFile(char* out, void (*homefolder)(char*), std::vector<std::string>& tried)
{
    char folder[PATH_BUFFER];
    homefolder(folder);
    char candidate[PATH_BUFFER];
    if (!pathOf(candidate, folder, "iTunes/iTunes Music Library.xml"))
        candidate[0] = '\0';
    if (resolvealiaspath(candidate, out) != 0)
        strcpy_max(out, PATH_BUFFER, candidate);
    tried.push_back(out);
}

// a was modified no earlier than b, to the nanosecond.
bool notolder(const struct stat& a, const struct stat& b)
{
    if (a.st_mtim.tv_sec != b.st_mtim.tv_sec)
        return a.st_mtim.tv_sec > b.st_mtim.tv_sec;
    return a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
}

} // namespace

void findLibraryFile(char* out)
{
    std::vector<std::string> tried;
    findLibraryFile(out, tried);
}

void findLibraryFile(char* out, std::vector<std::string>& tried)
{
    char folder[PATH_BUFFER];
    if (libraryFolder(folder)) {
        char a[PATH_BUFFER];
        char b[PATH_BUFFER];
        struct stat sa, sb;
        bool hasA = pathOf(a, folder, "iTunes Music Library.xml") && stat(a, &sa) == 0;
        bool hasB = pathOf(b, folder, "iTunes Library.xml") && stat(b, &sb) == 0;
        tried.push_back(a);
        tried.push_back(b);
        if (hasA && (!hasB || notolder(sa, sb))) {
            strcpy_max(out, PATH_BUFFER, a);
            return;
        }
        if (hasB) {
            strcpy_max(out, PATH_BUFFER, b);
            return;
        }
    }
    defaultLibraryFile(out, homemusicfolder, tried);
    struct stat st;
    if (stat(out, &st) == 0)
        return;
    defaultLibraryFile(out, homedocumentsfolder, tried);
}

bool percentdecode(const std::string& text, std::string& out)
{
    out.clear();
    for (size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (c == '%' && at + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[at + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[at + 2]))) {
            c = static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16));
            at += 2;
        }
        if (c == '\0')
            return false;
        out += c;
    }
    return true;
}

bool FileLocation::thiscomputer() const
{
    return host.empty() || (host.size() == 9 && startswithci(host, "localhost"));
}

FileLocation parselocation(const std::string& text)
{
    FileLocation location;
    const std::string decoded = xmldecode(text);
    if (decoded.compare(0, 7, "file://") != 0)
        return location;
    const size_t slash = decoded.find('/', 7);
    const std::string host = decoded.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    const std::string path = slash == std::string::npos ? "" : decoded.substr(slash);
    location.file = percentdecode(host, location.host) && percentdecode(path, location.path);
    return location;
}

int fileURLToPath(const char* url, char* buffer, size_t size)
{
    return fileURLToPath(parselocation(url), buffer, size);
}

int fileURLToPath(const FileLocation& location, char* buffer, size_t size)
{
    if (!location.local())
        return -1;
    if (size == 0)
        return 1;
    strcpy_max(buffer, size, location.path.c_str());
    return location.path.size() < size ? 0 : 1;
}

} // namespace ovra
