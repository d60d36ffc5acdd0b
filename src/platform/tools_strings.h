// Bounded text helpers shared by both programs. All work on NUL-terminated
// 8-bit text and never write past the size they are given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ovra {

// Copies at most size - 1 bytes of src and always terminates dst (size >= 1).
char* strcpy_max(char* dst, size_t size, const char* src);
// The same, copying at most min(size - 1, srclen) bytes, stopping early at a NUL.
char* strcpy_max(char* dst, size_t size, const char* src, size_t srclen);

// ASCII compare after upper-casing both sides: 0 equal, -1 a < b, 1 a > b.
int strcmp_ci_ascii(const char* a, const char* b);
// Whether text begins with prefix (given in lower case), ignoring ASCII case.
bool startswithci(const std::string& text, const char* prefix);

// The text after the last '/', or the whole path when there is none.
const char* getbasename(const char* path);

// The UTF-8 bytes of a code point below 0x110000 (one to four) into out;
// returns how many.
size_t encodeutf8(uint32_t cp, char out[4]);

// The code points of UTF-8 text up to its NUL; a byte that begins no whole
// sequence stands for itself (so ISO 8859-1 text comes through as it is).
std::vector<uint32_t> decodeutf8(const char* text);

// The UTF-16 code units of a code point (one, or a surrogate pair) appended to out.
void appendutf16(uint32_t cp, std::vector<uint16_t>& out);

// ISO 8859-1 to UTF-8; stops at a NUL, after srclen bytes, or when the next
// sequence does not fit into size - 1 bytes. Always terminates. Returns the
// number of bytes written (without the NUL).
size_t latin1toutf8(const char* src, size_t srclen, char* dst, size_t size);

// The text with its control characters written out as \n, \r, \t or \xHH,
// so that a path or name written to a log stays on its one line.
std::string escapecontrols(const char* text);

struct MapStringEntry {
    const char* text;
    int32_t value;
};

// Binary search in a table sorted by strcmp; 1 and *value set on a match, else 0.
int mapstring(const MapStringEntry* table, size_t count, const char* key, int32_t* value);

} // namespace ovra
