// Depth-first walk of a folder tree through one path buffer of PATH_BUFFER bytes.
#pragma once
#include "platform/tools_paths.h"

#include <dirent.h>

#include <cstddef>
#include <functional>

namespace ovra::tempix {

class DirectoryWalker {
public:
    static constexpr unsigned FOLLOW_LINKS = 1; // test entries with stat, not lstat
    static constexpr unsigned SINGLE_FILE = 2;  // a start path naming a file is the only entry
    static constexpr int MAX_LEVELS = 16;

    using Filter = bool (*)(const char* name);

    // What the walk passes over without returning it.
    enum class Skip {
        unreadableFolder, // cannot be opened or read; error is its errno
        pathTooLong,      // folder + "/" + name would not fit the buffer
        tooDeep,          // a folder 16 levels down
    };
    // Told of each, once per walk; folder is the folder's path, name the
    // entry's (empty for a folder that cannot be opened or is too deep).
    using Reporter = std::function<void(Skip what, const char* folder, const char* name, int error)>;
    void setReporter(Reporter r) { reporter = std::move(r); }

    explicit DirectoryWalker(unsigned flags, Filter filter = nullptr);
    ~DirectoryWalker();
    DirectoryWalker(const DirectoryWalker&) = delete;
    DirectoryWalker& operator=(const DirectoryWalker&) = delete;

    // False when the path does not exist (or is a file without SINGLE_FILE)
    // or does not fit the buffer; next() then ends at once.
    bool start(const char* startPath);
    // The next entry (read path()), or null at the end. Folders are entered,
    // not returned; links to folders are returned unless FOLLOW_LINKS is set.
    // Folders 16 levels down are not entered, and an entry whose full path
    // would not fit the buffer is skipped.
    DirectoryWalker* next();
    const char* path() const { return pathBuffer; }

private:
    void closeAll();
    bool openLevel(size_t pathLength);
    void report(Skip what, size_t folderLength, const char* name, int error);

    char pathBuffer[PATH_BUFFER];
    char* nameStart[MAX_LEVELS];
    int depth = -1;
    unsigned flags;
    bool started = false;
    bool isFile = false;
    bool fileDone = false;
    bool opened = false;
    Filter filter;
    Reporter reporter;
    DIR* folders[MAX_LEVELS];
};

// True when the text from the last '.' is ".mp3", ".m4a", ".flac", ".ogg",
// ".oga" or ".opus", in any ASCII case: the files a tag can be opened for.
bool isAudioFile(const char* path);

} // namespace ovra::tempix
