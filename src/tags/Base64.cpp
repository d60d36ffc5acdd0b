#include "tags/Base64.h"

#include <cstdint>

namespace ovra {

namespace {
const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of a character, or -1 for one that is skipped.
int valueof(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    if (c == '=')
        return 0;
    return -1;
}
} // namespace

std::string base64encode(const void* data, size_t size)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        uint32_t group = uint32_t(bytes[i]) << 16;
        if (i + 1 < size)
            group |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < size)
            group |= bytes[i + 2];
        text += ALPHABET[(group >> 18) & 63];
        text += ALPHABET[(group >> 12) & 63];
        text += ALPHABET[(group >> 6) & 63];
        text += ALPHABET[group & 63];
    }
    return text;
}

size_t base64decode(const char* text, void* buffer, size_t size)
{
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t stored = 0;
    uint32_t group = 0;
    int values = 0;
    auto flush = [&]() {
        for (int k = 0; k < 3 && stored < size; ++k)
            out[stored++] = uint8_t(group >> (16 - 8 * k));
    };
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0 && stored < size; ++p) {
        int v = valueof(*p);
        if (v < 0)
            continue;
        group = (group << 6) | uint32_t(v);
        if (++values == 4) {
            flush();
            group = 0;
            values = 0;
        }
    }
    if (values > 0 && stored < size) {
        // Values missing at the end count as 0; the group still gives three bytes.
        while (values < 4) {
            group <<= 6;
            ++values;
        }
        flush();
    }
    return stored;
}

} // namespace ovra
