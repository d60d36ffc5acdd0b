// Vorbis comment lists: little-endian 32-bit lengths, a vendor string, a
// count, then "NAME=value" fields.
#include "tags/VorbisComment.h"
#include "platform/ErrorCodes.h"

#include <cstring>

namespace ovra {

namespace {
uint32_t getle32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putle32(std::vector<uint8_t>& out, size_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

// Field names are ASCII and compared without regard to case.
bool named(const std::string& raw, const char* name)
{
    size_t n = std::strlen(name);
    if (raw.size() <= n || raw[n] != '=')
        return false;
    for (size_t i = 0; i < n; ++i) {
        char a = raw[i], b = name[i];
        if (a >= 'a' && a <= 'z')
            a = char(a - 32);
        if (b >= 'a' && b <= 'z')
            b = char(b - 32);
        if (a != b)
            return false;
    }
    return true;
}
} // namespace

VorbisComment VorbisComment::parse(const uint8_t* data, size_t size, size_t prefix)
{
    VorbisComment c;
    if (size < prefix)
        throw TAG_ERR_UNUSABLE;
    c.magic.assign(data, data + prefix);
    size_t at = prefix;
    auto text = [&](std::string& out) {
        if (size - at < 4)
            throw TAG_ERR_UNUSABLE;
        uint32_t n = getle32(data + at);
        at += 4;
        if (size - at < n)
            throw TAG_ERR_UNUSABLE;
        out.assign(reinterpret_cast<const char*>(data + at), n);
        at += n;
    };
    text(c.vendorText);
    if (size - at < 4)
        throw TAG_ERR_UNUSABLE;
    uint32_t count = getle32(data + at);
    at += 4;
    // Each field takes at least its four length bytes.
    if (count > (size - at) / 4)
        throw TAG_ERR_UNUSABLE;
    c.fields.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        Field f;
        text(f.raw);
        size_t eq = f.raw.find('=');
        if (eq != std::string::npos)
            f.value = f.raw.substr(eq + 1);
        c.fields.push_back(std::move(f));
    }
    c.trailing.assign(data + at, data + size);
    return c;
}

VorbisComment VorbisComment::empty(const std::string& vendor)
{
    VorbisComment c;
    c.vendorText = vendor;
    return c;
}

std::vector<uint8_t> VorbisComment::render() const
{
    std::vector<uint8_t> out(magic);
    putle32(out, vendorText.size());
    out.insert(out.end(), vendorText.begin(), vendorText.end());
    putle32(out, fields.size());
    for (const Field& f : fields) {
        putle32(out, f.raw.size());
        out.insert(out.end(), f.raw.begin(), f.raw.end());
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

const std::string* VorbisComment::find(const char* name) const
{
    for (const Field& f : fields) {
        if (named(f.raw, name))
            return &f.value;
    }
    return nullptr;
}

void VorbisComment::set(const char* name, const std::string& value)
{
    for (Field& f : fields) {
        if (named(f.raw, name)) {
            f.raw = f.raw.substr(0, std::strlen(name) + 1) + value;
            f.value = value;
            return;
        }
    }
    fields.push_back({std::string(name) + "=" + value, value});
}

} // namespace ovra
