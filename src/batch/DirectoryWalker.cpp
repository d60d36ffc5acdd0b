#include "batch/DirectoryWalker.h"
#include "platform/tools_strings.h"
#include "tags/Tag.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace ovra::tempix {

DirectoryWalker::DirectoryWalker(unsigned flags, Filter filter) : flags(flags), filter(filter) { pathBuffer[0] = '\0'; }

DirectoryWalker::~DirectoryWalker() { closeAll(); }

void DirectoryWalker::closeAll()
{
    while (depth >= 0) {
        closedir(folders[depth]);
        --depth;
    }
}

bool DirectoryWalker::start(const char* startPath)
{
    closeAll();
    started = false;
    opened = false;
    size_t length = std::strlen(startPath);
    if (length >= sizeof pathBuffer) {
        pathBuffer[0] = '\0';
        return false;
    }
    std::memcpy(pathBuffer, startPath, length + 1);
    struct stat st;
    if (stat(pathBuffer, &st) != 0)
        return false;
    isFile = !S_ISDIR(st.st_mode);
    fileDone = false;
    started = true;
    return !isFile || (flags & SINGLE_FILE) != 0;
}

void DirectoryWalker::report(Skip what, size_t folderLength, const char* name, int error)
{
    if (!reporter)
        return;
    std::string folder(pathBuffer, folderLength);
    reporter(what, folder.c_str(), name, error);
}

// Opens the folder whose path fills the buffer up to pathLength as a new level.
bool DirectoryWalker::openLevel(size_t pathLength)
{
    if (depth + 1 >= MAX_LEVELS) {
        report(Skip::tooDeep, pathLength, "", 0);
        return false;
    }
    // Room for the '/', at least one character of a name and the NUL.
    if (pathLength + 3 > sizeof pathBuffer) {
        report(Skip::pathTooLong, pathLength, "", 0);
        return false;
    }
    DIR* folder = opendir(pathBuffer);
    if (folder == nullptr) {
        report(Skip::unreadableFolder, pathLength, "", errno);
        return false;
    }
    ++depth;
    folders[depth] = folder;
    pathBuffer[pathLength] = '/';
    pathBuffer[pathLength + 1] = '\0';
    nameStart[depth] = pathBuffer + pathLength + 1;
    return true;
}

DirectoryWalker* DirectoryWalker::next()
{
    if (!started)
        return nullptr;
    if (isFile) {
        if (fileDone || (flags & SINGLE_FILE) == 0)
            return nullptr;
        fileDone = true;
        if (filter != nullptr && !filter(getbasename(pathBuffer)))
            return nullptr;
        return this;
    }
    if (!opened) {
        opened = true;
        if (!openLevel(std::strlen(pathBuffer)))
            return nullptr;
    }
    while (depth >= 0) {
        errno = 0;
        struct dirent* entry = readdir(folders[depth]);
        if (entry == nullptr) {
            if (errno != 0)
                report(Skip::unreadableFolder, static_cast<size_t>(nameStart[depth] - 1 - pathBuffer), "", errno);
            closedir(folders[depth]);
            --depth;
            continue;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        if (filter != nullptr && !filter(name))
            continue;
        char* at = nameStart[depth];
        size_t room = sizeof pathBuffer - static_cast<size_t>(at - pathBuffer);
        size_t nameLength = std::strlen(name);
        if (nameLength + 1 > room) {
            report(Skip::pathTooLong, static_cast<size_t>(at - 1 - pathBuffer), name, 0);
            continue; // the full path would not fit: skipped
        }
        std::memcpy(at, name, nameLength + 1);

        unsigned char type = entry->d_type;
        bool folder = type == DT_DIR;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st;
            int rc = (flags & FOLLOW_LINKS) ? stat(pathBuffer, &st) : lstat(pathBuffer, &st);
            if (rc != 0)
                continue;
            folder = S_ISDIR(st.st_mode);
        }
        if (!folder)
            return this;
        // Sixteen open levels are the most; deeper folders are passed over,
        // as are folders that cannot be opened.
        openLevel(static_cast<size_t>(at - pathBuffer) + nameLength);
    }
    return nullptr;
}

bool isAudioFile(const char* path) { return ovra::istagfile(path); }

} // namespace ovra::tempix
