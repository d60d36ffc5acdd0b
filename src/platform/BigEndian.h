// Big-endian integers in byte buffers: atoms, ID3 frame headers, the data
// record and four-character codes are all stored this way.
#pragma once
#include <cstdint>

namespace ovra {

constexpr uint16_t getbe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

constexpr uint32_t getbe32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

constexpr void putbe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace ovra
