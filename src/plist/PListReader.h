// Line-based reader of the XML subset that library files use: one line
// buffer (of any length), a cursor into it, and the three scanning operations.
#pragma once
#include "plist/PListNode.h"

#include <cstdio>
#include <memory>

namespace ovra {

class PListReader {
public:
    // Opens only a regular file, without blocking: a pipe or a device named
    // as the library throws 20132 at once instead of hanging.
    explicit PListReader(const char* path);
    ~PListReader();
    PListReader(const PListReader&) = delete;
    PListReader& operator=(const PListReader&) = delete;

    struct TagInfo {
        char name[16];
        bool isEnd;
        bool isSelfClosing;
    };

    // Skips what comes before the root: at most five lines, up to one that
    // begins with "<dict".
    void skipProlog();
    TagInfo readTag();
    void readText(PListText& text);
    // Makes the node for a value whose opening tag was just read.
    std::unique_ptr<PListNode> createNode(const TagInfo& tag);
    // Throws code, noting the current line for describeplisterror.
    [[noreturn]] void fail(int code) const;

private:
    bool nextLine();

    FILE* file = nullptr;
    char* line = nullptr; // the current line, NUL-terminated; grown by getline
    size_t capacity = 0;
    char* cursor = nullptr;
    long lineNumber = 0;
    int depth = 0; // arrays and dictionaries open
};

} // namespace ovra
