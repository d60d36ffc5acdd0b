#include "plist/PListNode.h"
#include "plist/PListReader.h"
#include "platform/tools_strings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ovra {

// ---- PListText ----------------------------------------------------------------

PListText::~PListText()
{
    std::free(bytes);
}

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

// ---- typed access -------------------------------------------------------------

PListString* PListNode::asString() { throw int(PLIST_ERR_NOT_STRING); }
PListInteger* PListNode::asInteger() { throw int(PLIST_ERR_NOT_INTEGER); }
PListReal* PListNode::asReal() { throw int(PLIST_ERR_NOT_REAL); }
PListBoolean* PListNode::asBoolean() { throw int(PLIST_ERR_NOT_BOOLEAN); }
PListArray* PListNode::asArray() { throw int(PLIST_ERR_NOT_ARRAY); }
PListDict* PListNode::asDict() { throw int(PLIST_ERR_NOT_DICT); }

PListNode* PListArray::at(int i) const
{
    if (i < 0 || i >= count())
        throw int(PLIST_ERR_INDEX);
    return elements[static_cast<size_t>(i)].get();
}

PListNode* PListDict::get(const char* key) const
{
    auto it = entries.find(key);
    if (it == entries.end())
        throw int(PLIST_ERR_NO_KEY);
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
    file = std::fopen(path, "r");
    if (file == nullptr)
        throw int(PLIST_ERR_OPEN);
    line[0] = '\0';
    cursor = line;
}

PListReader::~PListReader()
{
    std::fclose(file);
}

bool PListReader::nextLine()
{
    if (std::fgets(line, sizeof line, file) == nullptr) {
        line[0] = '\0';
        cursor = line;
        return false;
    }
    cursor = line;
    return true;
}

void PListReader::skipProlog()
{
    // fgets leaves the buffer alone at the end of the file, so the cursor
    // ends up at the start of the last line read either way.
    for (int i = 0; i < 5; ++i) {
        if (std::fgets(line, sizeof line, file) == nullptr)
            break;
        if (std::strncmp(line, "<dict", 5) == 0)
            break;
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
            throw int(PLIST_ERR_EOF_TAG);
    }
    if (*cursor != '<')
        throw int(PLIST_ERR_TEXT_FOR_TAG);
    if (cursor[1] == '!')
        throw int(PLIST_ERR_MARKUP);

    TagInfo tag{};
    tag.isEnd = cursor[1] == '/';
    const char* nameStart = cursor + (tag.isEnd ? 2 : 1);
    const char* close = std::strchr(cursor + 1, '>');
    if (close == nullptr)
        throw int(PLIST_ERR_TAG_SPLIT);
    cursor = const_cast<char*>(close) + 1;
    tag.isSelfClosing = close[-1] == '/';
    const char* nameEnd = tag.isSelfClosing ? close - 1 : close;
    // "</>" would end before it starts: an empty name.
    size_t length = nameEnd > nameStart ? static_cast<size_t>(nameEnd - nameStart) : 0;
    if (length >= sizeof tag.name)
        throw int(PLIST_ERR_TAG_LONG);
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
            throw int(PLIST_ERR_EOF_TEXT);
    }
}

std::unique_ptr<PListNode> PListReader::createNode(const TagInfo& tag)
{
    std::unique_ptr<PListNode> node;
    const char* name = tag.name;
    if (std::strcmp(name, "string") == 0) {
        if (tag.isSelfClosing)
            throw int(PLIST_ERR_EMPTY_STRING_TAG);
        node = std::make_unique<PListString>();
    } else if (std::strcmp(name, "integer") == 0) {
        if (tag.isSelfClosing)
            throw int(PLIST_ERR_EMPTY_INTEGER_TAG);
        node = std::make_unique<PListInteger>();
    } else if (std::strcmp(name, "real") == 0) {
        if (tag.isSelfClosing)
            throw int(PLIST_ERR_EMPTY_REAL_TAG);
        node = std::make_unique<PListReal>();
    } else if (std::strcmp(name, "false") == 0) {
        if (!tag.isSelfClosing)
            throw int(PLIST_ERR_FALSE_CONTENT);
        return std::make_unique<PListBoolean>(false);
    } else if (std::strcmp(name, "true") == 0) {
        if (!tag.isSelfClosing)
            throw int(PLIST_ERR_TRUE_CONTENT);
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
    node->parse(*this); // a throw deletes the node on the way out
    return node;
}

// ---- parse operations ---------------------------------------------------------

static bool isEndTag(const PListReader::TagInfo& tag, const char* name)
{
    return tag.isEnd && !tag.isSelfClosing && std::strcmp(tag.name, name) == 0;
}

PListGeneric::PListGeneric(const char* name)
{
    strcpy_max(elementName, sizeof elementName, name);
}

void PListGeneric::parse(PListReader& reader)
{
    reader.readText(content);
    if (!isEndTag(reader.readTag(), elementName))
        throw int(PLIST_ERR_GENERIC_END);
}

void PListString::parse(PListReader& reader)
{
    reader.readText(content);
    if (!isEndTag(reader.readTag(), "string"))
        throw int(PLIST_ERR_STRING_END);
}

void PListInteger::parse(PListReader& reader)
{
    PListText text;
    reader.readText(text);
    const char* p = text.data() ? text.data() : "";
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    // Blank text holds no number and is no error; the value stays 0.
    if (*p != '\0') {
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(p, &end, 10);
        if (end == p)
            throw int(PLIST_ERR_INTEGER_TEXT);
        // Out-of-range numbers are held at the nearest 32-bit value.
        if (v > INT32_MAX)
            v = INT32_MAX;
        if (v < INT32_MIN)
            v = INT32_MIN;
        number = static_cast<int32_t>(v);
    }
    if (!isEndTag(reader.readTag(), "integer"))
        throw int(PLIST_ERR_INTEGER_END);
}

void PListReal::parse(PListReader& reader)
{
    PListText text;
    reader.readText(text);
    const char* p = text.data() ? text.data() : "";
    double v = 0.0;
    int converted = std::sscanf(p, "%lf", &v);
    if (converted == 0)
        throw int(PLIST_ERR_REAL_TEXT);
    if (converted == 1)
        number = v;
    if (!isEndTag(reader.readTag(), "real"))
        throw int(PLIST_ERR_REAL_END);
}

void PListArray::parse(PListReader& reader)
{
    for (;;) {
        PListReader::TagInfo tag = reader.readTag();
        if (tag.isEnd) {
            if (isEndTag(tag, "array"))
                return;
            throw int(PLIST_ERR_ARRAY_END);
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
            throw int(PLIST_ERR_DICT_END);
        }
        if (tag.isSelfClosing || std::strcmp(tag.name, "key") != 0)
            throw int(PLIST_ERR_KEY_EXPECTED);
        PListText key;
        reader.readText(key);
        if (!isEndTag(reader.readTag(), "key"))
            throw int(PLIST_ERR_KEY_END);
        PListReader::TagInfo valueTag = reader.readTag();
        if (valueTag.isEnd)
            throw int(PLIST_ERR_VALUE_EXPECTED);
        std::unique_ptr<PListNode> value = reader.createNode(valueTag);
        // A repeated key replaces the earlier value.
        entries[std::string(key.data() ? key.data() : "", key.length())] = std::move(value);
    }
}

std::unique_ptr<PListNode> readPListFile(const char* path)
{
    PListReader reader(path);
    reader.skipProlog();
    PListReader::TagInfo tag = reader.readTag();
    if (tag.isEnd || std::strcmp(tag.name, "dict") != 0)
        throw int(PLIST_ERR_ROOT);
    auto root = std::make_unique<PListDict>();
    if (!tag.isSelfClosing)
        root->parse(reader);
    return root;
}

} // namespace ovra
