// The genres a batch compares each track's genre against.
#pragma once
#include <cstddef>
#include <set>
#include <string>

namespace ovra::tempix {

// A genre is compared by its first GENRE_NAME_MAX_BYTES bytes.
constexpr size_t GENRE_NAME_MAX_BYTES = 79;

// Splits a genre list at commas and line feeds into lower-case entries of at
// most GENRE_NAME_MAX_BYTES characters, trimmed; empty entries are dropped.
std::set<std::string> buildGenreSet(const char* text);

} // namespace ovra::tempix
