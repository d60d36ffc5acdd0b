// Base64 with the standard alphabet, as the data record is kept in a comment.
#pragma once
#include <cstddef>
#include <string>

namespace ovra {

// Exactly 4 * ceil(size / 3) characters, without '=' padding: the last group
// fills missing bytes with zero bits and is always four characters.
std::string base64encode(const void* data, size_t size);

// Skips characters outside the alphabet (bytes 0x80 and above included);
// '=' counts as 0, values missing at the end count as 0. Stores at most size
// bytes and returns the number stored; the rest of buffer is left alone.
size_t base64decode(const char* text, void* buffer, size_t size);

} // namespace ovra
