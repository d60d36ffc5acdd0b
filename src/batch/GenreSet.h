// The genres a batch compares each track's genre against.
#pragma once
#include <set>
#include <string>

namespace ovra::tempix {

// Splits a genre list at commas and line feeds into lower-case entries of at
// most 79 characters, trimmed; empty entries are dropped.
std::set<std::string> buildGenreSet(const char* text);

} // namespace ovra::tempix
