// FLAC metadata: "fLaC", then blocks of a one-byte header (bit 7: last
// block, bits 0-6: type), a 24-bit big-endian body length and the body.
#include "tags/FlacMetadata.h"
#include "tags/ID3v2Layout.h"
#include "platform/ErrorCodes.h"

#include <algorithm>
#include <cstring>

namespace ovra {

namespace {

struct Edit {
    int64_t pos;     // in the original file
    int64_t removed; // bytes replaced
    std::vector<uint8_t> bytes;
};

void putheader(std::vector<uint8_t>& out, uint8_t type, bool last, size_t length)
{
    out.push_back(uint8_t((last ? 0x80 : 0) | type));
    out.push_back(uint8_t(length >> 16));
    out.push_back(uint8_t(length >> 8));
    out.push_back(uint8_t(length));
}

void readbytes(const FileTransaction& file, int64_t pos, uint8_t* out, size_t n, bool original)
{
    if (original)
        file.readoriginal(pos, out, n);
    else
        file.readall(pos, out, n);
}

} // namespace

std::vector<FlacMetadata::Block> FlacMetadata::walk(const FileTransaction& file, int64_t start, bool original)
{
    const int64_t length = original ? file.originalLength() : file.length();
    uint8_t magic[4];
    if (length - start < 8)
        throw TAG_ERR_UNUSABLE;
    readbytes(file, start, magic, 4, original);
    if (std::memcmp(magic, "fLaC", 4) != 0)
        throw TAG_ERR_UNUSABLE;
    std::vector<Block> blocks;
    for (int64_t pos = start + 4;;) {
        uint8_t h[4];
        if (length - pos < 4)
            throw TAG_ERR_UNUSABLE;
        readbytes(file, pos, h, 4, original);
        Block b;
        b.offset = pos;
        b.type = h[0] & 0x7f;
        b.last = (h[0] & 0x80) != 0;
        b.length = uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        if (b.type == 127 || b.end() > length || (blocks.empty() && b.type != STREAMINFO))
            throw TAG_ERR_UNUSABLE;
        blocks.push_back(b);
        pos = b.end();
        if (b.last)
            return blocks;
    }
}

void FlacMetadata::read(const FileTransaction& file)
{
    start = 0;
    uint8_t h[10];
    if (file.length() >= 10) {
        file.readall(0, h, sizeof h);
        if (std::memcmp(h, "ID3", 3) == 0) {
            // A size that is not synchsafe could only be guessed at; a footer
            // adds ten bytes.
            const int64_t size = id3synchsafe(h + 6);
            if (size < 0)
                throw TAG_ERR_UNUSABLE;
            start = 10 + size;
            if ((h[5] & 0x10) != 0)
                start += 10;
        }
    }
    blocks = walk(file, start, false);
    commentIndex = -1;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].type == VORBIS_COMMENT) {
            commentIndex = int(i);
            break;
        }
    }
}

std::vector<uint8_t> FlacMetadata::comment(const FileTransaction& file) const
{
    if (commentIndex < 0)
        return {};
    const Block& c = blocks[size_t(commentIndex)];
    std::vector<uint8_t> body(c.length);
    file.readall(c.body(), body.data(), body.size());
    return body;
}

void FlacMetadata::rewrite(FileTransaction& file, const std::vector<uint8_t>& body) const
{
    if (body.size() >= (size_t(1) << 24) ||
        std::count_if(blocks.begin(), blocks.end(), [](const Block& b) { return b.type == VORBIS_COMMENT; }) > 1)
        throw TAG_ERR_LAYOUT;

    std::vector<Edit> edits;
    // Where the comment goes and what it replaces; growth is what it adds.
    const Block& info = blocks.front();
    const Block* old = commentIndex >= 0 ? &blocks[size_t(commentIndex)] : nullptr;
    const int64_t growth = int64_t(body.size()) - (old ? int64_t(old->length) : -4);
    const Block* after = old ? old : &info; // the block the comment is or follows
    const bool last = after->last;

    // The padding that takes up the change: the first one big enough (and
    // small enough to stay a block when the comment shrinks).
    const Block* padding = nullptr;
    for (const Block& b : blocks) {
        const int64_t room = int64_t(b.length) - growth;
        if (growth != 0 && b.type == PADDING && &b != old && room >= 0 && room < (int64_t(1) << 24)) {
            padding = &b;
            break;
        }
    }
    // Padding of our own after the comment when none takes up the change:
    // a shrunken comment leaves its room, a grown one brings some for next
    // time. (A comment a few bytes shorter just makes the file shrink.)
    const bool addPadding = padding == nullptr && (growth > 0 || growth <= -4);
    if (!old && last)
        edits.push_back({info.offset, 1, {uint8_t(info.type)}}); // no longer the last block
    std::vector<uint8_t> bytes;
    putheader(bytes, VORBIS_COMMENT, last && !addPadding, body.size());
    bytes.insert(bytes.end(), body.begin(), body.end());
    if (addPadding) {
        const size_t room = growth > 0 ? ADDED_PADDING : size_t(-growth - 4);
        putheader(bytes, PADDING, last, room);
        bytes.resize(bytes.size() + room, 0);
    } else if (padding != nullptr) {
        const size_t room = size_t(int64_t(padding->length) - growth);
        std::vector<uint8_t> pad;
        putheader(pad, PADDING, padding->last, room);
        pad.resize(pad.size() + room, 0);
        edits.push_back({padding->offset, int64_t(padding->length) + 4, std::move(pad)});
    }
    if (old)
        edits.push_back({old->offset, int64_t(old->length) + 4, std::move(bytes)});
    else
        edits.push_back({info.end(), 0, std::move(bytes)});

    // From the end backwards, so each position is still the original one.
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.pos > b.pos; });
    for (const Edit& e : edits)
        file.replace(e.pos, e.removed, e.bytes.data(), e.bytes.size());
    check(file, body);
}

void FlacMetadata::check(const FileTransaction& file, const std::vector<uint8_t>& body) const
{
    // Whatever is not the comment or padding is there in the same order
    // with the same bytes; so are the ID3v2 tag in front and the frames.
    try {
        if (!file.isoriginal(0, 0, start + 4))
            throw TAG_ERR_AUDIO_MOVED;
        const std::vector<Block> now = walk(file, start, false);
        std::vector<const Block*> kept, keptNow;
        for (const Block& b : blocks) {
            if (b.type != VORBIS_COMMENT && b.type != PADDING)
                kept.push_back(&b);
        }
        int comments = 0;
        for (const Block& b : now) {
            if (b.type == VORBIS_COMMENT) {
                std::vector<uint8_t> stored(b.length);
                file.readall(b.body(), stored.data(), stored.size());
                if (stored != body || ++comments > 1)
                    throw TAG_ERR_AUDIO_MOVED;
            } else if (b.type != PADDING) {
                keptNow.push_back(&b);
            }
        }
        if (comments != 1 || kept.size() != keptNow.size())
            throw TAG_ERR_AUDIO_MOVED;
        for (size_t i = 0; i < kept.size(); ++i) {
            if (kept[i]->type != keptNow[i]->type || kept[i]->length != keptNow[i]->length ||
                !file.isoriginal(keptNow[i]->body(), kept[i]->body(), kept[i]->length))
                throw TAG_ERR_AUDIO_MOVED;
        }
        const int64_t frames = blocks.back().end();
        const int64_t framesNow = now.back().end();
        if (file.length() - framesNow != file.originalLength() - frames ||
            !file.isoriginal(framesNow, frames, file.originalLength() - frames))
            throw TAG_ERR_AUDIO_MOVED;
    } catch (int) {
        throw TAG_ERR_AUDIO_MOVED;
    }
}

} // namespace ovra
