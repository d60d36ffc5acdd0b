// Raw ID3v2 frames: read, spliced and checked byte for byte.
#include "tags/ID3v2Layout.h"
#include "tags/Tag.h"
#include "platform/tools_strings.h"

#include <algorithm>
#include <cstring>

namespace ovra {

namespace {
constexpr int64_t NEW_PADDING = 1024;
constexpr int64_t MAX_TAG = 10 + 0x0FFFFFFF;

[[noreturn]] void refuse() { throw TAG_ERR_LAYOUT; }

int64_t synchsafe(const uint8_t* p)
{
    const int64_t v = id3synchsafe(p);
    if (v < 0)
        refuse();
    return v;
}

void putsynchsafe(uint8_t* p, int64_t v)
{
    p[0] = uint8_t((v >> 21) & 0x7F);
    p[1] = uint8_t((v >> 14) & 0x7F);
    p[2] = uint8_t((v >> 7) & 0x7F);
    p[3] = uint8_t(v & 0x7F);
}

int64_t be(const uint8_t* p, int n)
{
    int64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

bool idchar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// A text of the given ID3 encoding from p up to its terminator; the end of
// the text is returned in 'next'. UTF-16 comes down to Latin-1 when every
// unit fits, else the description cannot match an ASCII name anyway.
bool readtext(const uint8_t* p, const uint8_t* end, int encoding, std::string& text, const uint8_t*& next)
{
    text.clear();
    if (encoding == 0 || encoding == 3) {
        const uint8_t* z = std::find(p, end, uint8_t(0));
        if (z == end)
            return false;
        text.assign(reinterpret_cast<const char*>(p), size_t(z - p));
        next = z + 1;
        return true;
    }
    if (encoding != 1 && encoding != 2)
        return false;
    bool little = false;
    if (encoding == 1 && end - p >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        little = p[0] == 0xFF;
        p += 2;
    }
    for (; end - p >= 2; p += 2) {
        unsigned unit = little ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]);
        if (unit == 0) {
            next = p + 2;
            return true;
        }
        text.push_back(unit < 0x100 ? char(unit) : '\x7F');
    }
    return false;
}

// The frames that are not ours: the first frame matching each own frame
// is left out.
std::vector<const ID3v2Frame*> foreign(const std::vector<ID3v2Frame>& frames, const std::vector<OwnFrame>& ours,
                                       std::vector<const ID3v2Frame*>* owned = nullptr)
{
    std::vector<bool> taken(frames.size(), false);
    if (owned != nullptr)
        owned->assign(ours.size(), nullptr);
    for (size_t o = 0; o < ours.size(); ++o) {
        for (size_t i = 0; i < frames.size(); ++i) {
            if (!taken[i] && ours[o].matches(frames[i])) {
                taken[i] = true;
                if (owned != nullptr)
                    (*owned)[o] = &frames[i];
                break;
            }
        }
    }
    std::vector<const ID3v2Frame*> out;
    for (size_t i = 0; i < frames.size(); ++i)
        if (!taken[i])
            out.push_back(&frames[i]);
    return out;
}
} // namespace

int64_t id3synchsafe(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i)
        if (p[i] >= 0x80)
            return -1;
    return (int64_t(p[0]) << 21) | (int64_t(p[1]) << 14) | (int64_t(p[2]) << 7) | int64_t(p[3]);
}

bool ID3v2Frame::plain() const
{
    if (version == 2)
        return true;
    // v2.3: compression, encryption, grouping; v2.4: grouping, compression,
    // encryption, unsynchronisation, data length indicator.
    return (flags & (version == 3 ? 0x00E0 : 0x004F)) == 0;
}

ID3v2Layout ID3v2Layout::read(const FileTransaction& file, bool original)
{
    const int64_t length = original ? file.originalLength() : file.length();
    uint8_t h[10];
    if (length < 10)
        return ID3v2Layout();
    if (original)
        file.readoriginal(0, h, sizeof h);
    else
        file.readall(0, h, sizeof h);
    if (std::memcmp(h, "ID3", 3) != 0)
        return ID3v2Layout();
    const int64_t size = 10 + synchsafe(h + 6);
    if (size > length)
        refuse();
    std::vector<uint8_t> tag(static_cast<size_t>(size));
    if (original)
        file.readoriginal(0, tag.data(), tag.size());
    else
        file.readall(0, tag.data(), tag.size());
    return parse(tag.data(), tag.size());
}

ID3v2Layout ID3v2Layout::parse(const uint8_t* data, size_t n)
{
    ID3v2Layout layout;
    if (n < 10 || std::memcmp(data, "ID3", 3) != 0)
        return layout;
    layout.version = data[3];
    layout.revision = data[4];
    layout.flags = data[5];
    if (layout.version < 2 || layout.version > 4 || layout.revision == 0xFF)
        refuse();
    layout.size = 10 + synchsafe(data + 6);
    // A footer repeats the size, v2.2 compression has no defined form,
    // ID3v2.4 unsynchronisation is a matter of each frame: not kept. An
    // unsynchronised ID3v2.3 tag is read undone and written done again.
    const uint8_t allowed = layout.version == 2 ? 0x00 : layout.version == 3 ? 0xE0 : 0x60;
    if ((layout.flags & ~allowed) != 0 || layout.size > int64_t(n))
        refuse();
    std::vector<uint8_t> plain;
    if (layout.flags & 0x80) {
        plain.assign(data, data + 10);
        for (int64_t i = 10; i < layout.size; ++i) {
            plain.push_back(data[i]);
            if (data[i] == 0xFF && i + 1 < layout.size && data[i + 1] == 0)
                ++i;
        }
    }
    const uint8_t* tag = plain.empty() ? data : plain.data();

    const int64_t end = plain.empty() ? layout.size : int64_t(plain.size());
    int64_t pos = 10;
    if (layout.flags & 0x40) {
        if (pos + 6 > end)
            refuse();
        int64_t extSize;
        if (layout.version == 3) {
            extSize = 4 + be(tag + pos, 4);
            // A CRC would no longer match.
            if ((extSize != 10 && extSize != 14) || (tag[size_t(pos) + 4] & 0x80) != 0)
                refuse();
        } else {
            extSize = synchsafe(tag + pos);
            if (extSize < 6 || tag[size_t(pos) + 4] != 1 || (tag[size_t(pos) + 5] & 0x20) != 0)
                refuse();
        }
        if (pos + extSize > end)
            refuse();
        layout.extended.assign(tag + pos, tag + pos + extSize);
        pos += extSize;
    }

    const int idLength = layout.version == 2 ? 3 : 4;
    const int headerSize = layout.version == 2 ? 6 : 10;
    while (pos < end) {
        if (tag[size_t(pos)] == 0) {
            // Padding: whatever follows must be padding too.
            for (int64_t i = pos; i < end; ++i)
                if (tag[size_t(i)] != 0)
                    refuse();
            break;
        }
        if (pos + headerSize > end)
            refuse();
        const uint8_t* fh = tag + pos;
        for (int i = 0; i < idLength; ++i)
            if (!idchar(fh[i]))
                refuse();
        int64_t bodySize = layout.version == 2 ? be(fh + 3, 3)
            : layout.version == 3              ? be(fh + 4, 4)
                                               : synchsafe(fh + 4);
        if (bodySize > end - pos - headerSize)
            refuse();
        ID3v2Frame frame;
        frame.id.assign(reinterpret_cast<const char*>(fh), size_t(idLength));
        frame.headerSize = size_t(headerSize);
        frame.version = layout.version;
        frame.flags = layout.version == 2 ? 0 : uint16_t((fh[8] << 8) | fh[9]);
        frame.raw.assign(fh, fh + headerSize + bodySize);
        layout.frames.push_back(std::move(frame));
        pos += headerSize + bodySize;
    }
    return layout;
}

bool id3description(const ID3v2Frame& frame, std::string& description, size_t* end_)
{
    if (!frame.plain() || frame.bodySize() < 1)
        return false;
    const uint8_t* p = frame.body();
    const uint8_t* end = p + frame.bodySize();
    const int encoding = p[0];
    const uint8_t* next = nullptr;
    std::string skipped;
    if (frame.id == "COMM" || frame.id == "COM" || frame.id == "TXXX" || frame.id == "TXX") {
        const size_t skip = frame.id[0] == 'C' ? 4 : 1; // encoding and language, or encoding
        if (end - p < std::ptrdiff_t(skip))
            return false;
        if (!readtext(p + skip, end, encoding, description, next))
            return false;
        if (end_ != nullptr)
            *end_ = size_t(next - p);
        return true;
    }
    if (frame.id == "GEOB" || frame.id == "GEO") {
        // MIME type (Latin-1; a three-letter format in v2.2), file name, description.
        if (!readtext(p + 1, end, 0, skipped, next))
            return false;
        if (!readtext(next, end, encoding, skipped, next))
            return false;
        if (!readtext(next, end, encoding, description, next))
            return false;
        if (end_ != nullptr)
            *end_ = size_t(next - p);
        return true;
    }
    return false;
}

bool id3value(const ID3v2Frame& frame, std::string& value)
{
    std::string description;
    size_t at = 0;
    if (frame.id == "GEOB" || frame.id == "GEO" || !id3description(frame, description, &at))
        return false;
    // The last text may go without its terminator: one is added.
    std::vector<uint8_t> rest(frame.body() + at, frame.body() + frame.bodySize());
    const int encoding = frame.body()[0];
    rest.insert(rest.end(), encoding == 1 || encoding == 2 ? 2 : 1, 0);
    const uint8_t* next = nullptr;
    return readtext(rest.data(), rest.data() + rest.size(), encoding, value, next);
}

std::vector<uint8_t> id3frame(const char* id, int version, const std::vector<uint8_t>& body)
{
    uint8_t header[10] = {};
    const int64_t n = int64_t(body.size());
    size_t headerSize = 10;
    if (version == 2) {
        headerSize = 6;
        std::memcpy(header, id, 3);
        for (int i = 0; i < 3; ++i)
            header[3 + i] = uint8_t(n >> (16 - 8 * i));
    } else {
        std::memcpy(header, id, 4);
        if (version == 4)
            putsynchsafe(header + 4, n);
        else
            for (int i = 0; i < 4; ++i)
                header[4 + i] = uint8_t(n >> (24 - 8 * i));
    }
    std::vector<uint8_t> raw(header, header + headerSize);
    raw.insert(raw.end(), body.begin(), body.end());
    return raw;
}

namespace {
bool usertext(const ID3v2Frame& frame) { return frame.id == "TXXX" || frame.id == "TXX"; }

bool sameascii(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strcmp_ci_ascii(a.c_str(), b.c_str()) == 0;
}
} // namespace

ReplayGain id3replaygain(const std::vector<ID3v2Frame>& frames)
{
    ReplayGain values;
    bool seen[4] = {};
    for (const ID3v2Frame& frame : frames) {
        std::string description, value;
        if (!usertext(frame) || !id3description(frame, description))
            continue;
        for (int i = 0; i < 4; ++i) {
            if (!seen[i] && sameascii(description, REPLAYGAIN_FIELDS[i])) {
                seen[i] = true; // the first of that name counts, as it is the one we replace
                if (id3value(frame, value))
                    replaygainvalue(values, i) = parsereplaygain(value);
            }
        }
    }
    return values;
}

std::vector<OwnFrame> id3replaygainframes(const ReplayGain& values, int version, const std::vector<ID3v2Frame>& frames)
{
    std::vector<OwnFrame> ours;
    for (int i = 0; i < 4; ++i) {
        const std::optional<double>& value = replaygainvalue(values, i);
        if (!value)
            continue;
        OwnFrame own;
        own.match = OwnFrame::Match::userTextDescribed;
        own.id = version == 2 ? "TXX" : "TXXX";
        own.description = REPLAYGAIN_FIELDS[i];
        // A name in another case (foobar2000 writes lower case) stays as it is.
        for (const ID3v2Frame& frame : frames) {
            std::string description;
            if (usertext(frame) && id3description(frame, description) && sameascii(description, own.description) &&
                std::all_of(description.begin(), description.end(), [](char c) { return c > 0 && c < 0x7F; })) {
                own.description = description;
                break;
            }
        }
        const std::string text = replaygainfieldtext(i, *value);
        std::vector<uint8_t> body = {0};
        body.insert(body.end(), own.description.begin(), own.description.end());
        body.push_back(0);
        body.insert(body.end(), text.begin(), text.end());
        own.raw = id3frame(own.id.c_str(), version, body);
        ours.push_back(std::move(own));
    }
    return ours;
}

std::vector<OwnFrame> id3extrarecords(const std::vector<ID3v2Frame>& frames, const std::string& owner,
                                      const char* keptId)
{
    std::vector<OwnFrame> removals;
    bool kept = false;
    for (const ID3v2Frame& frame : frames) {
        const bool object = frame.id == "GEOB" || frame.id == "GEO";
        const bool comment = frame.id == "COMM" || frame.id == "COM";
        std::string description;
        if (!(object || comment) || !id3description(frame, description) || description != owner)
            continue;
        if (!kept && frame.id.compare(0, frame.id.size(), keptId, frame.id.size()) == 0) {
            kept = true;
            continue;
        }
        OwnFrame own;
        own.match = object ? OwnFrame::Match::objectDescribed : OwnFrame::Match::commentDescribed;
        own.id = frame.id;
        own.description = owner;
        own.remove = true;
        removals.push_back(std::move(own));
    }
    return removals;
}

bool OwnFrame::matches(const ID3v2Frame& frame) const
{
    if (frame.id != id)
        return false;
    if (match == Match::firstOfId)
        return true;
    std::string text;
    if (!id3description(frame, text))
        return false;
    return match == Match::userTextDescribed ? sameascii(text, description) : text == description;
}

void spliceid3v2(FileTransaction& file, const std::vector<OwnFrame>& ours, int newTagVersion)
{
    if (file.changed())
        refuse(); // the splice works on the tag as it is on disk
    const ID3v2Layout old = ID3v2Layout::read(file, true);
    if (old.version == 0 && newTagVersion == 0)
        refuse();
    const int version = old.version != 0 ? old.version : newTagVersion;
    const int64_t oldSize = old.version != 0 ? old.size : 0;

    std::vector<uint8_t> content = old.extended;
    std::vector<bool> used(ours.size(), false);
    for (const ID3v2Frame& frame : old.frames) {
        const std::vector<uint8_t>* bytes = &frame.raw;
        for (size_t o = 0; o < ours.size(); ++o) {
            if (!used[o] && ours[o].matches(frame)) {
                used[o] = true;
                bytes = &ours[o].raw;
                break;
            }
        }
        content.insert(content.end(), bytes->begin(), bytes->end());
    }
    for (size_t o = 0; o < ours.size(); ++o)
        if (!used[o] && !ours[o].remove)
            content.insert(content.end(), ours[o].raw.begin(), ours[o].raw.end());

    // An unsynchronised tag stays so: no 0xFF of it may be followed by a
    // byte that could start an MPEG frame header, nor by 0 (a 0 follows).
    if (old.flags & 0x80) {
        std::vector<uint8_t> done;
        for (size_t i = 0; i < content.size(); ++i) {
            done.push_back(content[i]);
            if (content[i] == 0xFF && (i + 1 == content.size() || content[i + 1] >= 0xE0 || content[i + 1] == 0))
                done.push_back(0);
        }
        content.swap(done);
    }
    const int64_t needed = 10 + int64_t(content.size());
    const int64_t total = old.version != 0 && needed <= old.size ? old.size : needed + NEW_PADDING;
    if (total > MAX_TAG)
        refuse();
    // An ID3v2.3 extended header tells the padding size.
    if (version == 3 && !old.extended.empty()) {
        const int64_t padding = total - needed;
        for (int i = 0; i < 4; ++i)
            content[size_t(6 + i)] = uint8_t(padding >> (24 - 8 * i));
    }
    std::vector<uint8_t> tag(size_t(total), 0);
    std::memcpy(tag.data(), "ID3", 3);
    tag[3] = uint8_t(version);
    tag[4] = uint8_t(old.version != 0 ? old.revision : 0);
    tag[5] = old.version != 0 ? old.flags : 0;
    putsynchsafe(tag.data() + 6, total - 10);
    std::memcpy(tag.data() + 10, content.data(), content.size());
    file.replace(0, oldSize, tag.data(), tag.size());

    // The proof, from the staged bytes: the same header and extended header,
    // every frame not ours unchanged and in order, ours as rendered, and
    // everything behind the tag the original bytes.
    const ID3v2Layout now = ID3v2Layout::read(file, false);
    std::vector<uint8_t> ext = now.extended, oldExt = old.extended;
    if (version == 3 && ext.size() >= 10 && oldExt.size() >= 10)
        std::fill(ext.begin() + 6, ext.begin() + 10, 0), std::fill(oldExt.begin() + 6, oldExt.begin() + 10, 0);
    if (now.version != version || now.size != total || now.flags != tag[5] || now.revision != tag[4] || ext != oldExt)
        refuse();
    // Removed frames are gone: what is not ours after is what was not ours
    // or removed before.
    std::vector<OwnFrame> kept;
    for (const OwnFrame& own : ours)
        if (!own.remove)
            kept.push_back(own);
    std::vector<const ID3v2Frame*> owned;
    std::vector<const ID3v2Frame*> before = foreign(old.frames, ours);
    std::vector<const ID3v2Frame*> after = foreign(now.frames, kept, &owned);
    if (before.size() != after.size())
        refuse();
    for (size_t i = 0; i < before.size(); ++i)
        if (before[i]->raw != after[i]->raw)
            refuse();
    for (size_t o = 0; o < kept.size(); ++o)
        if (owned[o] == nullptr || owned[o]->raw != kept[o].raw)
            refuse();
    const int64_t rest = file.originalLength() - oldSize;
    if (file.length() != total + rest || !file.isoriginal(total, oldSize, rest))
        refuse();
}

} // namespace ovra
