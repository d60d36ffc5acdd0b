#include "plist/PListNode.h"
#include "plist/PListArena.h"
#include "plist/PListReader.h"
#include "plist/LibraryRules.h"
#include "platform/tools_strings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace ovra {

// ---- errors -------------------------------------------------------------------

namespace {

thread_local PListErrorContext lasterror;
thread_local char lastkey[sizeof lasterror.key] = "";

// Notes where code is thrown; line 0 for a lookup.
void noteerror(int code, long line, const char* key = nullptr, long index = -1, int error = 0)
{
    lasterror = PListErrorContext();
    lasterror.code = code;
    lasterror.line = line;
    strcpy_max(lasterror.key, sizeof lasterror.key, key != nullptr ? key : lastkey);
    lasterror.index = index;
    lasterror.error = error;
}

[[noreturn]] void lookupfailed(int code, const char* key = nullptr, long index = -1)
{
    noteerror(code, 0, key, index);
    throw int(code);
}

// The codes of a document that cannot be parsed: they come with a line.
bool isparsefailure(int code)
{
    return (code >= PLIST_ERR_ROOT && code <= PLIST_ERR_DICT_END) || code == PLIST_ERR_TOO_DEEP;
}

const CodeText TYPE_WORDS[] = {
    {PLIST_ERR_NOT_STRING, "a string"},   {PLIST_ERR_NOT_INTEGER, "an integer"}, {PLIST_ERR_NOT_REAL, "a real number"},
    {PLIST_ERR_NOT_BOOLEAN, "a boolean"}, {PLIST_ERR_NOT_ARRAY, "an array"},     {PLIST_ERR_NOT_DICT, "a dictionary"},
};

} // namespace

const PListErrorContext& plistlasterror() { return lasterror; }

std::string describeplisterror(int code)
{
    const PListErrorContext& e = lasterror;
    if (e.code != code || code == 0)
        return {};
    char text[256];
    if (isparsefailure(code)) {
        std::snprintf(text, sizeof text, "at line %ld, %s", e.line, errorText(code).c_str());
    } else if (const char* type = codetext(TYPE_WORDS, code)) {
        if (e.key[0] != '\0')
            std::snprintf(text, sizeof text, "the value of \"%s\" is not %s", e.key, type);
        else
            std::snprintf(text, sizeof text, "a value is not %s", type);
    } else if (code == PLIST_ERR_INDEX) {
        std::snprintf(text, sizeof text, "an array has no element %ld (after \"%s\")", e.index, e.key);
    } else if (code == PLIST_ERR_NO_KEY) {
        std::snprintf(text, sizeof text, "there is no \"%s\" entry", e.key);
    } else if (code == PLIST_ERR_REPEATED_KEY) {
        if (e.line > 0)
            std::snprintf(text, sizeof text, "at line %ld, the key \"%s\" occurs more than once in one dictionary",
                          e.line, e.key);
        else
            std::snprintf(text, sizeof text, "the key \"%s\" occurs more than once in one dictionary", e.key);
    } else if (code == PLIST_ERR_OPEN) {
        if (e.error != 0)
            std::snprintf(text, sizeof text, "the file cannot be opened: %s (errno %d)", std::strerror(e.error),
                          e.error);
        else
            std::snprintf(text, sizeof text, "it is not a regular file");
    } else {
        return {};
    }
    return text;
}

// ---- typed access -------------------------------------------------------------

PListString* PListNode::asString() { lookupfailed(PLIST_ERR_NOT_STRING); }
PListInteger* PListNode::asInteger() { lookupfailed(PLIST_ERR_NOT_INTEGER); }
PListReal* PListNode::asReal() { lookupfailed(PLIST_ERR_NOT_REAL); }
PListBoolean* PListNode::asBoolean() { lookupfailed(PLIST_ERR_NOT_BOOLEAN); }
PListArray* PListNode::asArray() { lookupfailed(PLIST_ERR_NOT_ARRAY); }
PListDict* PListNode::asDict() { lookupfailed(PLIST_ERR_NOT_DICT); }

PListNode* PListArray::at(int i) const
{
    if (i < 0 || i >= count())
        lookupfailed(PLIST_ERR_INDEX, nullptr, i);
    return elements[static_cast<size_t>(i)];
}

PListDict::PListDict() = default;
PListDict::~PListDict() = default;

const PListDict::Entry* PListDict::find(const char* key) const
{
    const Entry* end = entries + size;
    const Entry* it =
        std::lower_bound(entries, end, key, [](const Entry& e, const char* k) { return std::strcmp(e.key, k) < 0; });
    return it != end && std::strcmp(it->key, key) == 0 ? it : nullptr;
}

PListNode* PListDict::get(const char* key) const
{
    // Type errors that follow name this key.
    strcpy_max(lastkey, sizeof lastkey, key);
    if (repeatedCount != 0 &&
        std::binary_search(repeated, repeated + repeatedCount, key,
                           [](const char* a, const char* b) { return std::strcmp(a, b) < 0; }))
        lookupfailed(PLIST_ERR_REPEATED_KEY, key);
    const Entry* e = find(key);
    if (e == nullptr)
        lookupfailed(PLIST_ERR_NO_KEY, key);
    return e->value;
}

PListNode* PListDict::get(int key) const
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", key);
    return get(text);
}

// ---- the reader ---------------------------------------------------------------

PListReader::PListReader(const char* path) : dictLevels(PLIST_MAX_DEPTH + 1), arrayLevels(PLIST_MAX_DEPTH + 1)
{
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        noteerror(PLIST_ERR_OPEN, 0, nullptr, -1, errno);
        throw PLIST_ERR_OPEN;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        noteerror(PLIST_ERR_OPEN, 0, nullptr, -1, 0);
        throw PLIST_ERR_OPEN;
    }
    file = fdopen(fd, "r");
    if (file == nullptr) {
        int e = errno;
        ::close(fd);
        noteerror(PLIST_ERR_OPEN, 0, nullptr, -1, e);
        throw PLIST_ERR_OPEN;
    }
}

PListReader::~PListReader()
{
    std::fclose(file);
    std::free(line);
}

void PListReader::fail(int code) const
{
    noteerror(code, lineNumber);
    throw int(code);
}

bool PListReader::nextLine()
{
    if (getline(&line, &capacity, file) < 0) {
        if (line != nullptr)
            line[0] = '\0';
        cursor = line;
        return false;
    }
    ++lineNumber;
    cursor = line;
    return true;
}

void PListReader::skipProlog()
{
    // The cursor ends up at the start of the last line read, whether or not
    // it began with "<dict".
    for (int i = 0; i < 5; ++i) {
        if (getline(&line, &capacity, file) < 0) {
            if (lineNumber == 0 && line != nullptr)
                line[0] = '\0'; // nothing was read: an empty line
            break;
        }
        ++lineNumber;
        if (std::strncmp(line, "<dict", 5) == 0)
            break;
    }
    if (line == nullptr) {
        line = static_cast<char*>(std::malloc(1));
        if (line == nullptr)
            throw std::bad_alloc();
        capacity = 1;
        line[0] = '\0';
    }
    cursor = line;
}

PListReader::TagInfo PListReader::readTag()
{
    for (;;) {
        while (*cursor != '\0' && std::isspace(static_cast<unsigned char>(*cursor)))
            ++cursor;
        if (*cursor != '\0')
            break;
        if (!nextLine())
            fail(PLIST_ERR_EOF_TAG);
    }
    if (*cursor != '<')
        fail(PLIST_ERR_TEXT_FOR_TAG);
    if (cursor[1] == '!')
        fail(PLIST_ERR_MARKUP);

    TagInfo tag{};
    tag.isEnd = cursor[1] == '/';
    const char* nameStart = cursor + (tag.isEnd ? 2 : 1);
    const char* close = std::strchr(cursor + 1, '>');
    if (close == nullptr)
        fail(PLIST_ERR_TAG_SPLIT);
    cursor = const_cast<char*>(close) + 1;
    tag.isSelfClosing = close[-1] == '/';
    const char* nameEnd = tag.isSelfClosing ? close - 1 : close;
    // "</>" would end before it starts: an empty name.
    size_t length = nameEnd > nameStart ? static_cast<size_t>(nameEnd - nameStart) : 0;
    if (length >= sizeof tag.name)
        fail(PLIST_ERR_TAG_LONG);
    std::memcpy(tag.name, nameStart, length);
    tag.name[length] = '\0';
    return tag;
}

std::string_view PListReader::readText()
{
    text.clear();
    for (;;) {
        char* lt = std::strchr(cursor, '<');
        if (lt != nullptr) {
            text.append(cursor, static_cast<size_t>(lt - cursor));
            cursor = lt;
            return text;
        }
        text.append(cursor);
        if (!nextLine())
            fail(PLIST_ERR_EOF_TEXT);
    }
}

const char* PListReader::intern(std::string_view key)
{
    auto it = keys.find(key);
    if (it != keys.end())
        return it->data();
    const char* copy = key.empty() ? "" : arena->copy(key);
    keys.insert(std::string_view(copy, key.size()));
    return copy;
}

PListNode* PListReader::createNode(const TagInfo& tag)
{
    PListNode* node;
    const char* name = tag.name;
    if (std::strcmp(name, "string") == 0) {
        if (tag.isSelfClosing)
            fail(PLIST_ERR_EMPTY_STRING_TAG);
        node = arena->make<PListString>();
    } else if (std::strcmp(name, "integer") == 0) {
        if (tag.isSelfClosing)
            fail(PLIST_ERR_EMPTY_INTEGER_TAG);
        node = arena->make<PListInteger>();
    } else if (std::strcmp(name, "real") == 0) {
        if (tag.isSelfClosing)
            fail(PLIST_ERR_EMPTY_REAL_TAG);
        node = arena->make<PListReal>();
    } else if (std::strcmp(name, "false") == 0) {
        if (!tag.isSelfClosing)
            fail(PLIST_ERR_FALSE_CONTENT);
        return arena->make<PListBoolean>(false);
    } else if (std::strcmp(name, "true") == 0) {
        if (!tag.isSelfClosing)
            fail(PLIST_ERR_TRUE_CONTENT);
        return arena->make<PListBoolean>(true);
    } else if (std::strcmp(name, "array") == 0) {
        node = arena->make<PListArray>();
        if (tag.isSelfClosing)
            return node;
    } else if (std::strcmp(name, "dict") == 0) {
        node = arena->make<PListDict>();
        if (tag.isSelfClosing)
            return node;
    } else {
        node = arena->make<PListGeneric>(name);
        if (tag.isSelfClosing)
            return node;
    }
    // Only arrays and dictionaries nest; each level is one more call deep.
    // A throw leaves the node in the arena, which goes with the reader.
    if (depth >= PLIST_MAX_DEPTH)
        fail(PLIST_ERR_TOO_DEEP);
    ++depth;
    node->parse(*this);
    --depth;
    return node;
}

// ---- parse operations ---------------------------------------------------------

static bool isEndTag(const PListReader::TagInfo& tag, const char* name)
{
    return tag.isEnd && !tag.isSelfClosing && std::strcmp(tag.name, name) == 0;
}

PListGeneric::PListGeneric(const char* name) { strcpy_max(elementName, sizeof elementName, name); }

void PListGeneric::parse(PListReader& reader)
{
    std::string_view t = reader.readText();
    bytes = reader.keep(t);
    count = t.size();
    if (!isEndTag(reader.readTag(), elementName))
        reader.fail(PLIST_ERR_GENERIC_END);
}

void PListString::parse(PListReader& reader)
{
    std::string_view t = reader.readText();
    bytes = reader.keep(t);
    count = t.size();
    if (!isEndTag(reader.readTag(), "string"))
        reader.fail(PLIST_ERR_STRING_END);
}

void PListInteger::parse(PListReader& reader)
{
    // Blank text holds no number and is no error; the value stays 0.
    if (!parseplistinteger(reader.readText().data(), number))
        reader.fail(PLIST_ERR_INTEGER_TEXT);
    if (!isEndTag(reader.readTag(), "integer"))
        reader.fail(PLIST_ERR_INTEGER_END);
}

void PListReal::parse(PListReader& reader)
{
    double v = 0.0;
    int converted = std::sscanf(reader.readText().data(), "%lf", &v);
    if (converted == 0)
        reader.fail(PLIST_ERR_REAL_TEXT);
    if (converted == 1)
        number = v;
    if (!isEndTag(reader.readTag(), "real"))
        reader.fail(PLIST_ERR_REAL_END);
}

void PListArray::parse(PListReader& reader) { reader.readArray(elements, size); }

void PListDict::parse(PListReader& reader) { reader.readDict(*this); }

// True at the end tag of name; any other end tag fails with error.
bool PListReader::closes(const TagInfo& tag, const char* name, int error) const
{
    if (!tag.isEnd)
        return false;
    if (!isEndTag(tag, name))
        fail(error);
    return true;
}

void PListReader::readArray(PListNode* const*& elements, size_t& size)
{
    std::vector<PListNode*>& list = arrayLevels[static_cast<size_t>(depth)];
    list.clear();
    for (TagInfo tag = readTag(); !closes(tag, "array", PLIST_ERR_ARRAY_END); tag = readTag())
        list.push_back(createNode(tag));
    elements = arena->copyarray(list.data(), list.size());
    size = list.size();
}

void PListReader::readDict(PListDict& dict)
{
    std::vector<PListDict::Entry>& list = dictLevels[static_cast<size_t>(depth)];
    list.clear();
    for (TagInfo tag = readTag(); !closes(tag, "dict", PLIST_ERR_DICT_END); tag = readTag()) {
        if (tag.isSelfClosing || std::strcmp(tag.name, "key") != 0)
            fail(PLIST_ERR_KEY_EXPECTED);
        const char* key = intern(readText()); // null text counts as the empty key
        if (!isEndTag(readTag(), "key"))
            fail(PLIST_ERR_KEY_END);
        TagInfo valueTag = readTag();
        if (valueTag.isEnd)
            fail(PLIST_ERR_VALUE_EXPECTED);
        PListNode* value = createNode(valueTag);
        list.push_back({key, value});
    }
    // In byte order of the keys, a key's entries in document order: the last
    // of them is kept. A repeated key keeps its later value but cannot be
    // read: which one is meant cannot be told, and another reader may take
    // the other.
    std::stable_sort(list.begin(), list.end(), [](const PListDict::Entry& a, const PListDict::Entry& b) {
        return a.key != b.key && std::strcmp(a.key, b.key) < 0;
    });
    repeats.clear();
    size_t kept = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        // Interned: equal keys are one pointer.
        if (kept > 0 && list[kept - 1].key == list[i].key) {
            if (repeats.empty() || repeats.back() != list[i].key)
                repeats.push_back(list[i].key);
            list[kept - 1].value = list[i].value;
        } else {
            list[kept++] = list[i];
        }
    }
    dict.entries = arena->copyarray(list.data(), kept);
    dict.size = static_cast<uint32_t>(kept);
    dict.repeated = arena->copyarray(repeats.data(), repeats.size());
    dict.repeatedCount = static_cast<uint32_t>(repeats.size());
}

std::unique_ptr<PListDict> PListReader::readRoot()
{
    skipProlog();
    TagInfo tag = readTag();
    if (tag.isEnd || std::strcmp(tag.name, "dict") != 0)
        fail(PLIST_ERR_ROOT);
    auto root = std::make_unique<PListDict>();
    if (!tag.isSelfClosing)
        root->parse(*this);
    root->arena = std::move(arena);
    return root;
}

std::unique_ptr<PListNode> readPListFile(const char* path)
{
    PListReader reader(path);
    return reader.readRoot();
}

} // namespace ovra
