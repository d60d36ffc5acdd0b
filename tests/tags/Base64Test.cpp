// The Base64 of the data record: what was written before must read back
// the same, so the edge cases of the decoder are pinned here.
#include "tags/Base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ovra;

namespace {

// The bytes decoded into a buffer of size bytes, each first 0xEE, and the count stored.
std::pair<size_t, std::vector<uint8_t>> decoded(const char* text, size_t size)
{
    std::vector<uint8_t> out(size, 0xEE);
    size_t n = base64decode(text, out.data(), out.size());
    return {n, out};
}

} // namespace

// The record's round trip is in the tag tests (TagLib and Xiph routes).
TEST(Base64, EncodesWithoutPadding)
{
    EXPECT_EQ(base64encode("", 0), "");
    EXPECT_EQ(base64encode("M", 1), "TQAA");
    EXPECT_EQ(base64encode("Ma", 2), "TWEA");
    EXPECT_EQ(base64encode("Man", 3), "TWFu");
    EXPECT_EQ(base64encode("\xFB\xFF", 2), "+/8A");
}

TEST(Base64, DecodesLenientlyAndStoresNoMoreThanAsked)
{
    using Bytes = std::vector<uint8_t>;
    // A last group short of values still gives three bytes, the missing bits 0.
    EXPECT_EQ(decoded("TWE", 5), std::make_pair(size_t(3), Bytes{'M', 'a', 0, 0xEE, 0xEE}));
    // '=' is a zero value wherever it stands, not an end.
    EXPECT_EQ(decoded("TW==", 5), std::make_pair(size_t(3), Bytes{'M', 0x60, 0, 0xEE, 0xEE}));
    EXPECT_EQ(decoded("TQ==TWFu", 6), std::make_pair(size_t(6), Bytes{'M', 0, 0, 'M', 'a', 'n'}));
    // Anything outside the alphabet is skipped: spaces, line ends, '-', '_', UTF-8.
    EXPECT_EQ(decoded(" T\nW\r\tF-_u\xC3\xA9", 4), std::make_pair(size_t(3), Bytes{'M', 'a', 'n', 0xEE}));
    // The buffer bounds what is stored; the rest is left alone.
    EXPECT_EQ(decoded("TWFuTWFu", 4), std::make_pair(size_t(4), Bytes{'M', 'a', 'n', 'M'}));
    EXPECT_EQ(decoded("TWFu", 0), std::make_pair(size_t(0), Bytes{}));
}
