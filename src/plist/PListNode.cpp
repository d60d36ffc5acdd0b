#include "plist/PListNode.h"
#include "plist/PListReader.h"
#include "plist/LibraryRules.h"
#include "platform/tools_strings.h"

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

// ---- PListText ----------------------------------------------------------------

PListText::~PListText() { std::free(bytes); }

void PListText::clear()
{
    std::free(bytes);
    bytes = nullptr;
    count = 0;
    capacity = 0;
}

void PListText::append(const char* from, size_t n)
{
    if (n == 0)
        return;
    if (count + n + 1 > capacity) {
        size_t wanted = capacity ? capacity : 64;
        while (wanted < count + n + 1)
            wanted *= 2;
        char* p = static_cast<char*>(std::realloc(bytes, wanted));
        if (p == nullptr)
            throw std::bad_alloc();
        bytes = p;
        capacity = wanted;
    }
    std::memcpy(bytes + count, from, n);
    count += n;
    bytes[count] = '\0';
}

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

const char* typeword(int code)
{
    switch (code) {
    case PLIST_ERR_NOT_STRING:
        return "a string";
    case PLIST_ERR_NOT_INTEGER:
        return "an integer";
    case PLIST_ERR_NOT_REAL:
        return "a real number";
    case PLIST_ERR_NOT_BOOLEAN:
        return "a boolean";
    case PLIST_ERR_NOT_ARRAY:
        return "an array";
    case PLIST_ERR_NOT_DICT:
        return "a dictionary";
    default:
        return nullptr;
    }
}

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
    } else if (const char* type = typeword(code)) {
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
    return elements[static_cast<size_t>(i)].get();
}

PListNode* PListDict::get(const char* key) const
{
    // Type errors that follow name this key.
    strcpy_max(lastkey, sizeof lastkey, key);
    if (repeated != nullptr && repeated->count(key) != 0)
        lookupfailed(PLIST_ERR_REPEATED_KEY, key);
    auto it = entries.find(key);
    if (it == entries.end())
        lookupfailed(PLIST_ERR_NO_KEY, key);
    return it->second.get();
}

PListNode* PListDict::get(int key) const
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", key);
    return get(text);
}

// ---- the reader ---------------------------------------------------------------

PListReader::PListReader(const char* path)
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

void PListReader::readText(PListText& text)
{
    text.clear();
    for (;;) {
        char* lt = std::strchr(cursor, '<');
        if (lt != nullptr) {
            text.append(cursor, static_cast<size_t>(lt - cursor));
            cursor = lt;
            return;
        }
        text.append(cursor, std::strlen(cursor));
        if (!nextLine())
            fail(PLIST_ERR_EOF_TEXT);
    }
}

std::unique_ptr<PListNode> PListReader::createNode(const TagInfo& tag)
{
    std::unique_ptr<PListNode> node;
    const char* name = tag.name;
    if (std::strcmp(name, "string") == 0) {
        if (tag.isSelfClosing)
            fail(PLIST_ERR_EMPTY_STRING_TAG);
        node = std::make_unique<PListString>();
    } else if (std::strcmp(name, "integer") == 0) {
        if (tag.isSelfClosing)
            fail(PLIST_ERR_EMPTY_INTEGER_TAG);
        node = std::make_unique<PListInteger>();
    } else if (std::strcmp(name, "real") == 0) {
        if (tag.isSelfClosing)
            fail(PLIST_ERR_EMPTY_REAL_TAG);
        node = std::make_unique<PListReal>();
    } else if (std::strcmp(name, "false") == 0) {
        if (!tag.isSelfClosing)
            fail(PLIST_ERR_FALSE_CONTENT);
        return std::make_unique<PListBoolean>(false);
    } else if (std::strcmp(name, "true") == 0) {
        if (!tag.isSelfClosing)
            fail(PLIST_ERR_TRUE_CONTENT);
        return std::make_unique<PListBoolean>(true);
    } else if (std::strcmp(name, "array") == 0) {
        node = std::make_unique<PListArray>();
        if (tag.isSelfClosing)
            return node;
    } else if (std::strcmp(name, "dict") == 0) {
        node = std::make_unique<PListDict>();
        if (tag.isSelfClosing)
            return node;
    } else {
        node = std::make_unique<PListGeneric>(name);
        if (tag.isSelfClosing)
            return node;
    }
    // Only arrays and dictionaries nest; each level is one more call deep.
    if (depth >= PLIST_MAX_DEPTH)
        fail(PLIST_ERR_TOO_DEEP);
    ++depth;
    try {
        node->parse(*this); // a throw deletes the node on the way out
    } catch (...) {
        --depth;
        throw;
    }
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
    reader.readText(content);
    if (!isEndTag(reader.readTag(), elementName))
        reader.fail(PLIST_ERR_GENERIC_END);
}

void PListString::parse(PListReader& reader)
{
    reader.readText(content);
    if (!isEndTag(reader.readTag(), "string"))
        reader.fail(PLIST_ERR_STRING_END);
}

void PListInteger::parse(PListReader& reader)
{
    PListText text;
    reader.readText(text);
    // Blank text holds no number and is no error; the value stays 0.
    if (!parseplistinteger(text.data(), number))
        reader.fail(PLIST_ERR_INTEGER_TEXT);
    if (!isEndTag(reader.readTag(), "integer"))
        reader.fail(PLIST_ERR_INTEGER_END);
}

void PListReal::parse(PListReader& reader)
{
    PListText text;
    reader.readText(text);
    const char* p = text.data() ? text.data() : "";
    double v = 0.0;
    int converted = std::sscanf(p, "%lf", &v);
    if (converted == 0)
        reader.fail(PLIST_ERR_REAL_TEXT);
    if (converted == 1)
        number = v;
    if (!isEndTag(reader.readTag(), "real"))
        reader.fail(PLIST_ERR_REAL_END);
}

void PListArray::parse(PListReader& reader)
{
    for (;;) {
        PListReader::TagInfo tag = reader.readTag();
        if (tag.isEnd) {
            if (isEndTag(tag, "array"))
                return;
            reader.fail(PLIST_ERR_ARRAY_END);
        }
        elements.push_back(reader.createNode(tag));
    }
}

void PListDict::parse(PListReader& reader)
{
    for (;;) {
        PListReader::TagInfo tag = reader.readTag();
        if (tag.isEnd) {
            if (isEndTag(tag, "dict"))
                return;
            reader.fail(PLIST_ERR_DICT_END);
        }
        if (tag.isSelfClosing || std::strcmp(tag.name, "key") != 0)
            reader.fail(PLIST_ERR_KEY_EXPECTED);
        PListText key;
        reader.readText(key);
        if (!isEndTag(reader.readTag(), "key"))
            reader.fail(PLIST_ERR_KEY_END);
        PListReader::TagInfo valueTag = reader.readTag();
        if (valueTag.isEnd)
            reader.fail(PLIST_ERR_VALUE_EXPECTED);
        std::unique_ptr<PListNode> value = reader.createNode(valueTag);
        // A repeated key keeps its later value but cannot be read: which one
        // is meant cannot be told, and another reader may take the other.
        std::string name(key.data() ? key.data() : "", key.length());
        std::unique_ptr<PListNode>& slot = entries[name];
        if (slot) {
            if (!repeated)
                repeated = std::make_unique<std::set<std::string>>();
            repeated->insert(name);
        }
        slot = std::move(value);
    }
}

std::unique_ptr<PListNode> readPListFile(const char* path)
{
    PListReader reader(path);
    reader.skipProlog();
    PListReader::TagInfo tag = reader.readTag();
    if (tag.isEnd || std::strcmp(tag.name, "dict") != 0)
        reader.fail(PLIST_ERR_ROOT);
    auto root = std::make_unique<PListDict>();
    if (!tag.isSelfClosing)
        root->parse(reader);
    return root;
}

} // namespace ovra
