#include "platform/tools_strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace ovra;

// The case-blind suffix compare, the entity map and Ptr_auto are used through
// openTag (tags), the library readers (plist) and the preference store.

// A copy never writes past its size and always ends with a NUL.
TEST(BoundedCopy, CutsAndAlwaysTerminates)
{
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    strcpy_max(dst, 4, "abcdef");
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(dst[4], 'x'); // nothing written past the size
    strcpy_max(dst, 1, "abcdef");
    EXPECT_STREQ(dst, "");
    strcpy_max(dst, sizeof dst, "abcdef", 2);
    EXPECT_STREQ(dst, "ab");
    strcpy_max(dst, sizeof dst, "a\0cdef", 5);
    EXPECT_STREQ(dst, "a");
}

// Tag text goes UTF-8 -> code points -> UTF-16; a byte that begins no whole
// sequence (Latin-1 text, a cut sequence) stands for itself.
TEST(Unicode, DecodesUtf8AndEncodesSurrogatePairs)
{
    EXPECT_EQ(decodeutf8("a\xC3\xA9\xE2\x98\x83\xF0\x9F\x8E\xB5"), (std::vector<uint32_t>{'a', 0xE9, 0x2603, 0x1F3B5}));
    EXPECT_EQ(decodeutf8("\xE9t\xE2\x98"), (std::vector<uint32_t>{0xE9, 't', 0xE2, 0x98}));
    std::vector<uint16_t> units;
    for (uint32_t cp : {0x41u, 0xFFFFu, 0x10000u, 0x1F3B5u, 0x10FFFFu})
        appendutf16(cp, units);
    EXPECT_EQ(units, (std::vector<uint16_t>{0x41, 0xFFFF, 0xD800, 0xDC00, 0xD83C, 0xDFB5, 0xDBFF, 0xDFFF}));
}

// Latin-1 text (playlist files, old tags) becomes UTF-8; a character whose
// sequence does not fit is left out whole, never cut.
TEST(Latin1, ConvertsAndRefusesPartialSequences)
{
    char out[8];
    latin1toutf8("\xE9", 1, out, sizeof out);
    EXPECT_STREQ(out, "\xC3\xA9");
    latin1toutf8("\xE9", 1, out, 2);
    EXPECT_STREQ(out, "");
    latin1toutf8("a\xE9z", 3, out, 3);
    EXPECT_STREQ(out, "a");
    latin1toutf8("abc\0def", 7, out, sizeof out);
    EXPECT_STREQ(out, "abc");
}
