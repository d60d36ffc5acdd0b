// The read-only document model of a property-list file (the music library).
// Every failure is a plain int code between 20101 and 20132.
#pragma once
#include "platform/ErrorCodes.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ovra {

// Arrays and dictionaries nested deeper than this are refused (libraries
// nest five deep), so that no file can exhaust the reader's stack.
constexpr int PLIST_MAX_DEPTH = 256;

// Where the last code of this thread was thrown: the line of the file, the
// key or index looked up, the system error of an open. Set at every throw.
struct PListErrorContext {
    int code = 0;
    long line = 0;     // 1-based line of the file; 0 for lookups
    char key[80] = ""; // the key looked up (or the last one, for type errors)
    long index = -1;   // the array index asked for
    int error = 0;     // errno of a file that could not be opened; 0: not a regular file
};
const PListErrorContext& plistlasterror();

// The last error of this thread in words ("at line 12, a tag does not end on
// its line"); empty when code is not the one last thrown.
std::string describeplisterror(int code);

class PListReader;
class PListString;
class PListInteger;
class PListReal;
class PListBoolean;
class PListArray;
class PListDict;

// Character data exactly as written between two tags. Kept NUL-terminated
// for the callers' convenience; data() is null while the block is empty.
class PListText {
public:
    PListText() = default;
    ~PListText();
    PListText(const PListText&) = delete;
    PListText& operator=(const PListText&) = delete;

    void clear();
    void append(const char* bytes, size_t count);
    const char* data() const { return bytes; }
    size_t length() const { return count; }

private:
    char* bytes = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

class PListNode {
public:
    virtual ~PListNode() = default;
    virtual PListString* asString();
    virtual PListInteger* asInteger();
    virtual PListReal* asReal();
    virtual PListBoolean* asBoolean();
    virtual PListArray* asArray();
    virtual PListDict* asDict();
    // Reads the element's content after its opening tag.
    virtual void parse(PListReader& reader) = 0;
};

// Any element without a class of its own (date, data, ...).
class PListGeneric : public PListNode {
public:
    explicit PListGeneric(const char* elementName);
    void parse(PListReader& reader) override;
    const char* name() const { return elementName; }
    const char* text() const { return content.data(); }
    size_t length() const { return content.length(); }

private:
    char elementName[16];
    PListText content;
};

class PListString : public PListNode {
public:
    PListString* asString() override { return this; }
    void parse(PListReader& reader) override;
    // Null for an empty string.
    const char* text() const { return content.data(); }
    size_t length() const { return content.length(); }

private:
    PListText content;
};

class PListInteger : public PListNode {
public:
    PListInteger* asInteger() override { return this; }
    void parse(PListReader& reader) override;
    int32_t value() const { return number; }

private:
    int32_t number = 0; // also what a blank element holds
};

class PListReal : public PListNode {
public:
    PListReal* asReal() override { return this; }
    void parse(PListReader& reader) override;
    double value() const { return number; }

private:
    double number = 0.0; // also what a blank element holds
};

class PListBoolean : public PListNode {
public:
    explicit PListBoolean(bool v) : flag(v) {}
    PListBoolean* asBoolean() override { return this; }
    void parse(PListReader&) override {}
    bool value() const { return flag; }

private:
    bool flag;
};

class PListArray : public PListNode {
public:
    PListArray* asArray() override { return this; }
    void parse(PListReader& reader) override;
    // Throws 20107 when i is out of range.
    PListNode* at(int i) const;
    int count() const { return static_cast<int>(elements.size()); }
    void append(std::unique_ptr<PListNode> node) { elements.push_back(std::move(node)); }

private:
    std::vector<std::unique_ptr<PListNode>> elements;
};

class PListDict : public PListNode {
public:
    PListDict* asDict() override { return this; }
    void parse(PListReader& reader) override;
    // Throws 20131 when the key is absent, 20134 when it occurs more than
    // once in the file: which of its values is meant cannot be told.
    PListNode* get(const char* key) const;
    // Looks up the decimal text of the integer.
    PListNode* get(int key) const;
    bool contains(const char* key) const { return entries.count(key) != 0; }
    bool hasrepeatedkeys() const { return repeated != nullptr; }
    // The first key (in byte order) that occurs more than once, or null.
    const char* repeatedkey() const { return repeated ? repeated->begin()->c_str() : nullptr; }
    size_t count() const { return entries.size(); }
    const std::map<std::string, std::unique_ptr<PListNode>>& items() const { return entries; }
    void set(std::string key, std::unique_ptr<PListNode> node) { entries[std::move(key)] = std::move(node); }

private:
    std::map<std::string, std::unique_ptr<PListNode>> entries;
    std::unique_ptr<std::set<std::string>> repeated; // made at the first repeat
};

// Reads the file into a tree; the root is a dictionary. Throws the codes above.
std::unique_ptr<PListNode> readPListFile(const char* path);

} // namespace ovra
