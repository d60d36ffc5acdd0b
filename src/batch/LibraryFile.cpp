#include "batch/LibraryFile.h"
#include "platform/settings/PreferenceStore.h"
#include "platform/Ptr_auto.h"
#include "platform/tools_paths.h"
#include "platform/tools_strings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace ovra::tempix {

namespace {

const char* const LIBRARY_DOMAIN = "com.apple.iTunes";
const char* const LIBRARY_LOCATION_KEY = "alis:1:iTunes Library Location";

// Reads the library folder from the library's own preferences; false when
// there is none that names an existing folder.
bool libraryFolder(char* out)
{
    try {
        PreferenceStore store(LIBRARY_DOMAIN, true);
        ovra::Ptr_auto<char> block;
        store.getData(LIBRARY_LOCATION_KEY, block);
        size_t size = block.size();
        if (size == 0 || size >= ovra::PATH_BUFFER || std::memchr(block.get(), '\0', size) != nullptr)
            return false;
        char folder[ovra::PATH_BUFFER];
        std::memcpy(folder, block.get(), size);
        folder[size] = '\0';
        if (folder[0] != '/')
            return false;
        return ovra::resolvealias(folder, out) == 0;
    } catch (int) {
        return false;
    }
}

bool pathOf(char* out, const char* folder, const char* name)
{
    int n = std::snprintf(out, ovra::PATH_BUFFER, "%s/%s", folder, name);
    return n > 0 && static_cast<size_t>(n) < ovra::PATH_BUFFER;
}

void defaultLibraryFile(char* out, void (*homefolder)(char*), std::vector<std::string>& tried)
{
    char folder[ovra::PATH_BUFFER];
    homefolder(folder);
    char candidate[ovra::PATH_BUFFER];
    if (!pathOf(candidate, folder, "iTunes/iTunes Music Library.xml"))
        candidate[0] = '\0';
    if (ovra::resolvealiaspath(candidate, out) != 0)
        ovra::strcpy_max(out, ovra::PATH_BUFFER, candidate);
    tried.push_back(out);
}

} // namespace

void findLibraryFile(char* out)
{
    std::vector<std::string> tried;
    findLibraryFile(out, tried);
}

void findLibraryFile(char* out, std::vector<std::string>& tried)
{
    char folder[ovra::PATH_BUFFER];
    if (libraryFolder(folder)) {
        char a[ovra::PATH_BUFFER];
        char b[ovra::PATH_BUFFER];
        struct stat sa, sb;
        bool hasA = pathOf(a, folder, "iTunes Music Library.xml") && stat(a, &sa) == 0;
        bool hasB = pathOf(b, folder, "iTunes Library.xml") && stat(b, &sb) == 0;
        tried.push_back(a);
        tried.push_back(b);
        if (hasA && (!hasB || sa.st_mtim.tv_sec > sb.st_mtim.tv_sec ||
                     (sa.st_mtim.tv_sec == sb.st_mtim.tv_sec && sa.st_mtim.tv_nsec >= sb.st_mtim.tv_nsec))) {
            ovra::strcpy_max(out, ovra::PATH_BUFFER, a);
            return;
        }
        if (hasB) {
            ovra::strcpy_max(out, ovra::PATH_BUFFER, b);
            return;
        }
    }
    defaultLibraryFile(out, ovra::homemusicfolder, tried);
    struct stat st;
    if (stat(out, &st) == 0)
        return;
    defaultLibraryFile(out, ovra::homedocumentsfolder, tried);
}

char decodeXmlChar(const char*& cursor)
{
    static const ovra::MapStringEntry entities[] = {
        {"amp", '&'}, {"apos", '\''}, {"gt", '>'}, {"lt", '<'}, {"quot", '"'},
    };
    char c = *cursor++;
    if (c != '&')
        return c;
    char name[16];
    size_t length = 0;
    for (;;) {
        if (*cursor == '\0')
            return '?';
        if (*cursor == ';') {
            ++cursor;
            break;
        }
        name[length++] = *cursor++;
        if (length == 15)
            break; // no ';' in sight: these fifteen are the name
    }
    name[length] = '\0';
    if (name[0] == '#') {
        bool hex = name[1] == 'x';
        unsigned long value = std::strtoul(name + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
        return static_cast<char>(value & 0xFF);
    }
    int32_t value = 0;
    if (ovra::mapstring(entities, sizeof entities / sizeof entities[0], name, &value))
        return static_cast<char>(value);
    return '?';
}

int fileURLToPath(const char* url, char* buffer, size_t size)
{
    const char* p;
    if (std::strncmp(url, "file://localhost/", 17) == 0)
        p = url + 16;
    else if (std::strncmp(url, "file:///", 8) == 0)
        p = url + 7;
    else
        return -1;
    if (size == 0)
        return 0;
    size_t written = 0;
    while (*p != '\0' && written < size - 1) {
        char c = decodeXmlChar(p);
        if (c == '%') {
            if (*p == '\0') {
                c = '?';
            } else {
                char digits[3] = {decodeXmlChar(p), 0, 0};
                if (*p == '\0') {
                    c = '?';
                } else {
                    digits[1] = decodeXmlChar(p);
                    c = static_cast<char>(std::strtoul(digits, nullptr, 16));
                }
            }
        }
        buffer[written++] = c;
    }
    buffer[written] = '\0';
    return *p == '\0' ? 0 : 1;
}

} // namespace ovra::tempix
