// Four-character codes: the big-endian bytes of a 32-bit value spell them.
#pragma once
#include <cstdint>
#include <string>

namespace ovra {

using CommandID = uint32_t;

constexpr uint32_t fourcc(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// From text of any length: the first four bytes, padded with spaces.
inline uint32_t fourcc(const std::string& s)
{
    uint32_t code = 0;
    for (size_t i = 0; i < 4; ++i)
        code = (code << 8) | uint8_t(i < s.size() ? s[i] : ' ');
    return code;
}

inline std::string fourcctext(uint32_t code)
{
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char((code >> (24 - 8 * i)) & 0xff);
    return s;
}

} // namespace ovra
