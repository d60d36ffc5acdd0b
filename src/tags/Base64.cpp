// Base64 through TagLib's, in the form our records have always had.
#include "tags/Base64.h"

#include <taglib/tbytevector.h>

#include <algorithm>
#include <cstring>

namespace ovra {

namespace {
bool inalphabet(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}
} // namespace

std::string base64encode(const void* data, size_t size)
{
    // The missing bits of a last short group are zero: 'A' where TagLib pads with '='.
    const TagLib::ByteVector text =
        TagLib::ByteVector(static_cast<const char*>(data), static_cast<unsigned int>(size)).toBase64();
    std::string out(text.data(), text.size());
    std::replace(out.begin(), out.end(), '=', 'A');
    return out;
}

size_t base64decode(const char* text, void* buffer, size_t size)
{
    // Records written by other programs are read leniently: characters outside
    // the alphabet are skipped, '=' is a zero value wherever it stands, and a
    // short last group is filled with zero values; TagLib gets whole groups.
    std::string groups;
    for (const char* p = text; *p != 0; ++p) {
        if (inalphabet(*p))
            groups += *p;
        else if (*p == '=')
            groups += 'A';
    }
    groups.append((4 - groups.size() % 4) % 4, 'A');
    const TagLib::ByteVector bytes =
        TagLib::ByteVector::fromBase64(TagLib::ByteVector(groups.data(), static_cast<unsigned int>(groups.size())));
    const size_t stored = std::min(size, size_t(bytes.size()));
    if (stored > 0)
        std::memcpy(buffer, bytes.data(), stored);
    return stored;
}

} // namespace ovra
