// Line-based reader of the XML subset that library files use: one line
// buffer (of any length), a cursor into it, and the three scanning operations.
// Builds the tree in an arena that the root takes over at the end.
#pragma once
#include "plist/PListArena.h"
#include "plist/PListNode.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

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
    // The character data up to the next '<', valid until the next readText.
    std::string_view readText();
    // Makes the node for a value whose opening tag was just read.
    PListNode* createNode(const TagInfo& tag);
    // Throws code, noting the current line for describeplisterror.
    [[noreturn]] void fail(int code) const;
    bool closes(const TagInfo& tag, const char* name, int error) const;

    // A copy of text in the tree's memory (null when empty).
    const char* keep(std::string_view text) { return arena->copy(text); }
    // The one copy of a key text that every dictionary shares: libraries
    // repeat the same few dozen keys millions of times.
    const char* intern(std::string_view key);
    // Reads a dictionary's or an array's content into the scratch list of its
    // level, then stores it in the tree.
    void readDict(PListDict& dict);
    void readArray(PListNode* const*& elements, size_t& size);

    // Reads the whole file: the root dictionary, owning the tree.
    std::unique_ptr<PListDict> readRoot();

private:
    bool nextLine();

    FILE* file = nullptr;
    char* line = nullptr; // the current line, NUL-terminated; grown by getline
    size_t capacity = 0;
    char* cursor = nullptr;
    long lineNumber = 0;
    int depth = 0;    // arrays and dictionaries open
    std::string text; // what readText returned last
    std::unique_ptr<PListArena> arena = std::make_unique<PListArena>();
    std::unordered_set<std::string_view> keys; // interned, in the arena
    // Per nesting level, the entries of the dictionary or array being read;
    // reused by every container of that level.
    std::vector<std::vector<PListDict::Entry>> dictLevels;
    std::vector<std::vector<PListNode*>> arrayLevels;
    std::vector<const char*> repeats; // of the dictionary just read
};

} // namespace ovra
