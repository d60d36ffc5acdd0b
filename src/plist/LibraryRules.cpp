#include "plist/LibraryRules.h"
#include "platform/tools_strings.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ovra {

bool parsepersistentid(const char* text, size_t length, uint64_t& value)
{
    if (text == nullptr || length == 0 || length > 16)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return false;
        v = v * 16 + d;
    }
    value = v;
    return true;
}

bool parseplistinteger(const char* text, int32_t& value)
{
    const char* p = text != nullptr ? text : "";
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p == '\0') {
        value = 0;
        return true;
    }
    char* end = nullptr;
    long long v = std::strtoll(p, &end, 10);
    if (end == p)
        return false;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    value = static_cast<int32_t>(v);
    return true;
}

std::string xmldecode(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t p = 0; p < raw.size();) {
        if (raw[p] != '&') {
            out += raw[p++];
            continue;
        }
        size_t semi = raw.find(';', p);
        if (semi == std::string_view::npos || semi - p > 12) {
            out += raw[p++];
            continue;
        }
        std::string_view name = raw.substr(p + 1, semi - p - 1);
        if (name == "amp")
            out += '&';
        else if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() > 1 && name[0] == '#') {
            bool hex = name[1] == 'x' || name[1] == 'X';
            std::string digits(name.substr(hex ? 2 : 1));
            unsigned long cp = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
            if (cp == 0 || cp > 0x10FFFF) {
                out += '?';
            } else {
                char seq[4];
                out.append(seq, encodeutf8(uint32_t(cp), seq));
            }
        } else {
            out.append(raw.substr(p, semi + 1 - p)); // unknown: keep as it is
        }
        p = semi + 1;
    }
    return out;
}

} // namespace ovra
