// What is wrong with a library file, in words for the user.
#pragma once
#include <string>

namespace ovra::tempix {

// The library reader's error code for the file at path, explained.
std::string librarytrouble(int code, const std::string& path);

// Why the file at path cannot serve as the library (it is missing, a
// folder, or unreadable); empty when it can be opened.
std::string libraryaccesstrouble(const std::string& path);

} // namespace ovra::tempix
