// Rules of the music library file that both of its readers keep (the batch's
// PListNode tree and the helper's LibraryDocument), so that they always pick
// out the same track.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ovra {

// A "Persistent ID": one to sixteen hexadecimal digits and nothing else.
// False (value untouched) for anything else, which names no track.
bool parsepersistentid(const char* text, size_t length, uint64_t& value);

// The number of an "integer" element's text: optional white space, then
// digits with an optional sign, read as far as they go and held at the
// nearest 32-bit value. Blank text is 0. False for text without a number.
bool parseplistinteger(const char* text, int32_t& value);

// Text of the file with its references decoded: &amp; &lt; &gt; &quot;
// &apos;, and &#N; &#xN; as the character's UTF-8 bytes ('?' for 0 or
// beyond U+10FFFF). An unknown or unterminated reference stays as it is.
std::string xmldecode(std::string_view raw);

// A key that occurs more than once in one dictionary cannot be read: which of
// its values is meant cannot be told (PLIST_ERR_REPEATED_KEY). A track whose
// dictionary repeats a key, whose key repeats in "Tracks", or whose
// "Persistent ID" is malformed is ambiguous: it is never updated.

} // namespace ovra
