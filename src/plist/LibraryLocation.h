// Where the music library file is, and how its file locations become paths:
// one rule for the batch and the script helper, so that both work on the
// same file and the same tracks.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace ovra {

// Writes the library file's path into out (PATH_BUFFER bytes). Never fails:
// without a usable "com.apple.iTunes" location it falls back to the default
// places, whether or not a file is there. Where the location's folder holds
// both "iTunes Music Library.xml" and "iTunes Library.xml", the one modified
// later wins, to the nanosecond; on an exact tie "iTunes Music Library.xml".
void findLibraryFile(char* out);
// The same; tried receives every file looked for, in order.
void findLibraryFile(char* out, std::vector<std::string>& tried);

// A library location taken apart once, for the path it names here and for
// the location map alike: its entity references decoded, then its host and
// its path, each with its %-escapes decoded (a '%' without two hexadecimal
// digits stays as it is).
struct FileLocation {
    bool file = false; // a "file://" URL whose escapes give no NUL byte
    std::string host;  // empty for "file:///"
    std::string path;  // from the '/' behind the host; empty when there is none
    // The host is this computer: none, or "localhost" in any case.
    bool thiscomputer() const;
    // A file on this computer: such a host, and a path.
    bool local() const { return file && !path.empty() && thiscomputer(); }
};
FileLocation parselocation(const std::string& text);

// A "file://localhost/" or "file:///" location (XML text, entity references
// not yet decoded) into a path of at most size - 1 bytes. 0; 1 when the
// path was cut short to fit (it may name another file); -1 (buffer untouched)
// when it is not a local file location or would hold a NUL byte.
int fileURLToPath(const char* url, char* buffer, size_t size);
int fileURLToPath(const FileLocation& location, char* buffer, size_t size);

// text with its %-escapes decoded; a '%' without two hexadecimal digits stays
// as it is. False when an escape gives a NUL byte.
bool percentdecode(const std::string& text, std::string& out);

} // namespace ovra
