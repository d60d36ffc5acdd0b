// The read-only document model of a property-list file (the music library).
// Every failure is a plain int code between 20101 and 20132.
#pragma once
#include "platform/ErrorCodes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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
class PListArena;
class PListString;
class PListInteger;
class PListReal;
class PListBoolean;
class PListArray;
class PListDict;

// Every node of a tree read from a file lives in the memory of its root (see
// PListArena): nodes are never deleted one by one, only the root is.
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
    // Character data exactly as written; null when there is none.
    const char* text() const { return bytes; }
    size_t length() const { return count; }

private:
    char elementName[16];
    const char* bytes = nullptr;
    size_t count = 0;
};

class PListString : public PListNode {
public:
    PListString* asString() override { return this; }
    void parse(PListReader& reader) override;
    // Character data exactly as written, NUL-terminated; null for an empty string.
    const char* text() const { return bytes; }
    size_t length() const { return count; }

private:
    const char* bytes = nullptr;
    size_t count = 0;
};

// A number element; blank, it holds 0.
template <class T>
class PListNumber : public PListNode {
public:
    T value() const { return number; }

protected:
    T number = 0;
};

class PListInteger : public PListNumber<int32_t> {
public:
    PListInteger* asInteger() override { return this; }
    void parse(PListReader& reader) override;
};

class PListReal : public PListNumber<double> {
public:
    PListReal* asReal() override { return this; }
    void parse(PListReader& reader) override;
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
    int count() const { return static_cast<int>(size); }

private:
    PListNode* const* elements = nullptr; // in document order
    size_t size = 0;
};

class PListDict : public PListNode {
public:
    PListDict();
    ~PListDict() override;
    PListDict* asDict() override { return this; }
    void parse(PListReader& reader) override;
    // Throws 20131 when the key is absent, 20134 when it occurs more than
    // once in the file: which of its values is meant cannot be told.
    PListNode* get(const char* key) const;
    // Looks up the decimal text of the integer.
    PListNode* get(int key) const;
    bool contains(const char* key) const { return find(key) != nullptr; }
    bool hasrepeatedkeys() const { return repeatedCount != 0; }
    // The first key (in byte order) that occurs more than once, or null.
    const char* repeatedkey() const { return repeatedCount != 0 ? repeated[0] : nullptr; }
    size_t count() const { return size; }

    // One key and its value; a dictionary keeps them in byte order of the key.
    struct Entry {
        const char* key;
        PListNode* value;
    };

private:
    friend class PListReader;
    const Entry* find(const char* key) const;

    const Entry* entries = nullptr;
    uint32_t size = 0;
    uint32_t repeatedCount = 0;
    const char* const* repeated = nullptr; // keys that occur more than once, in byte order
    std::unique_ptr<PListArena> arena;     // the whole tree's memory; the root's only
};

// Reads the file into a tree; the root is a dictionary. Throws the codes above.
std::unique_ptr<PListNode> readPListFile(const char* path);

} // namespace ovra
