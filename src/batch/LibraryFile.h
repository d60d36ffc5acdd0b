// Where the music library file is, and how its file locations become paths.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace ovra::tempix {

// Writes the library file's path into out (1024 bytes). Never fails: without
// a usable "com.apple.iTunes" location it falls back to the default places,
// whether or not a file is there.
void findLibraryFile(char* out);
// The same; tried receives every file looked for, in order.
void findLibraryFile(char* out, std::vector<std::string>& tried);

// One character of XML text from cursor (which must not be at the NUL):
// itself, or the byte an entity reference stands for ('?' when unknown or
// unterminated). The cursor moves past what was read.
char decodeXmlChar(const char*& cursor);

// A "file://localhost/" or "file:///" location into a path of at most
// size - 1 bytes, with %-escapes and entity references decoded. 0; 1 when the
// path was cut short to fit (it may name another file); -1 (buffer
// untouched) when it is not a local file location.
int fileURLToPath(const char* url, char* buffer, size_t size);

} // namespace ovra::tempix
