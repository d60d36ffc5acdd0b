#include "app/LibraryMessages.h"
#include "plist/PListNode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace ovra::tempix {

std::string libraryaccesstrouble(const std::string& path)
{
    if (path.empty())
        return "No library file was found.";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return "The library file " + path + " does not exist.";
        return "The library file " + path + " cannot be reached: " + std::strerror(errno) + ".";
    }
    if (S_ISDIR(st.st_mode))
        return path + " is a folder, not a library file.";
    if (access(path.c_str(), R_OK) != 0)
        return "The library file " + path + " cannot be read: " + std::strerror(errno) + ".";
    return std::string();
}

std::string librarytrouble(int code, const std::string& path)
{
    char number[32];
    std::snprintf(number, sizeof number, " (error code %d).", code);
    if (code == ovra::PLIST_ERR_OPEN) {
        std::string access = libraryaccesstrouble(path);
        return access.empty() ? "The library file " + path + " could not be opened" + number : access;
    }
    if (code == ovra::PLIST_ERR_NO_KEY)
        return "The library file " + path +
            " lacks an entry Tempix needs: a track without its location, a playlist without its items, or no "
            "list of tracks" +
            number;
    if (code == ovra::PLIST_ERR_INDEX)
        return "The library file " + path + " lists no playlists, not even the whole library" + number;
    if (code >= ovra::PLIST_ERR_NOT_STRING && code <= ovra::PLIST_ERR_NOT_DICT)
        return "The library file " + path + " holds a value of the wrong kind where Tempix reads the library" + number;
    if (code > ovra::PLIST_ERR_NOT_DICT && code < ovra::PLIST_ERR_NO_KEY)
        return "The library file " + path + " is damaged or is not a library file: it is not a readable property list" +
            number;
    return "The library file " + path + " could not be read" + number;
}

} // namespace ovra::tempix
