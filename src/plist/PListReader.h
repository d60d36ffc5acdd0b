// Line-based reader of the XML subset that library files use: one fgets
// buffer, a cursor into it, and the three scanning operations.
#pragma once
#include "plist/PListNode.h"

#include <cstdio>
#include <memory>

namespace ovra {

class PListReader {
public:
    // Throws 20132 when the file cannot be opened.
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

private:
    bool nextLine();

    FILE* file = nullptr;
    char line[1024];
    char* cursor;
};

} // namespace ovra
