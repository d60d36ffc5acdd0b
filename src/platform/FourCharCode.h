// Four-character codes: the big-endian bytes of a 32-bit value spell them.
#pragma once
#include "platform/BigEndian.h"

#include <cstdint>
#include <string>

namespace ovra {

using CommandID = uint32_t;

constexpr uint32_t fourcc(const char (&s)[5])
{
    const uint8_t bytes[4] = {uint8_t(s[0]), uint8_t(s[1]), uint8_t(s[2]), uint8_t(s[3])};
    return getbe32(bytes);
}

// The commands that dismiss a window: "not!" (Escape) and "clos" (its close box).
constexpr bool isdismisscommand(CommandID c) { return c == fourcc("not!") || c == fourcc("clos"); }

// From text of any length: the first four bytes, padded with spaces.
inline uint32_t fourcc(const std::string& s)
{
    uint8_t bytes[4];
    for (size_t i = 0; i < 4; ++i)
        bytes[i] = uint8_t(i < s.size() ? s[i] : ' ');
    return getbe32(bytes);
}

inline std::string fourcctext(uint32_t code)
{
    uint8_t bytes[4];
    putbe32(bytes, code);
    return std::string(bytes, bytes + 4);
}

} // namespace ovra
