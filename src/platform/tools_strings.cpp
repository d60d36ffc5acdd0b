#include "platform/tools_strings.h"

#include <cctype>
#include <cstring>

namespace ovra {

char* strcpy_max(char* dst, size_t size, const char* src) { return strcpy_max(dst, size, src, size); }

char* strcpy_max(char* dst, size_t size, const char* src, size_t srclen)
{
    if (size == 0)
        return dst;
    size_t limit = size - 1 < srclen ? size - 1 : srclen;
    size_t i = 0;
    for (; i < limit && src[i] != '\0'; ++i)
        dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

std::string escapecontrols(const char* text)
{
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        unsigned char c = *p;
        if (c >= 0x20 && c != 0x7F) {
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

static unsigned char upperascii(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

int strcmp_ci_ascii(const char* a, const char* b)
{
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
    for (;; ++pa, ++pb) {
        unsigned char ca = upperascii(*pa), cb = upperascii(*pb);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == '\0')
            return 0;
    }
}

const char* getbasename(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

size_t encodeutf8(uint32_t cp, char out[4])
{
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

std::vector<uint32_t> decodeutf8(const char* text)
{
    std::vector<uint32_t> cps;
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        uint32_t cp = *p;
        int extra = cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : 0;
        bool whole = extra > 0;
        for (int k = 1; whole && k <= extra; ++k)
            whole = (p[k] & 0xC0) == 0x80;
        if (whole) {
            cp &= 0x3F >> extra;
            for (int k = 1; k <= extra; ++k)
                cp = (cp << 6) | (p[k] & 0x3F);
            p += 1 + extra;
        } else {
            ++p;
        }
        cps.push_back(cp);
    }
    return cps;
}

void appendutf16(uint32_t cp, std::vector<uint16_t>& out)
{
    if (cp >= 0x10000) {
        out.push_back(uint16_t(0xD800 + ((cp - 0x10000) >> 10)));
        out.push_back(uint16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
        out.push_back(uint16_t(cp));
    }
}

size_t latin1toutf8(const char* src, size_t srclen, char* dst, size_t size)
{
    if (size == 0)
        return 0;
    size_t out = 0;
    for (size_t i = 0; i < srclen && src[i] != '\0'; ++i) {
        char seq[4];
        size_t n = encodeutf8(static_cast<unsigned char>(src[i]), seq);
        if (out + n > size - 1)
            break;
        for (size_t k = 0; k < n; ++k)
            dst[out++] = seq[k];
    }
    dst[out] = '\0';
    return out;
}

int mapstring(const MapStringEntry* table, size_t count, const char* key, int32_t* value)
{
    size_t lo = 0, hi = count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int cmp = std::strcmp(key, table[mid].text);
        if (cmp == 0) {
            *value = table[mid].value;
            return 1;
        }
        if (cmp < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return 0;
}

bool startswithci(const std::string& text, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (text.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

} // namespace ovra
