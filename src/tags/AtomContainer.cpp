// The MP4 atom layer: every edit is staged in the tag's FileTransaction.
#include "tags/AtomContainer.h"
#include "tags/Tag.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace ovra {

namespace {
constexpr uint32_t ATOM_FREE = fourcc("free");

// Finds the first 'free' child once and caches it. A 'free' atom whose size
// runs past its container (only possible at the top level) is refused: its
// space cannot be handed out.
void lookupfree(AtomContainer& c)
{
    if (c.freePos != 0)
        return;
    AtomHeader h;
    int64_t pos = findAtom(c, ATOM_FREE, 0, &h);
    if (pos >= 0 && pos + int64_t(h.size) > c.end)
        throw ATOM_ERR_OVERRUN;
    c.freePos = pos;
    c.freeSize = pos >= 0 ? h.size : 0;
}

void writeheader(const AtomContainer& c, int64_t pos, uint32_t size, uint32_t type)
{
    uint8_t header[8];
    putbe32(header, size);
    putbe32(header + 4, type);
    atomwrite(c, pos, header, sizeof header);
}
} // namespace

AtomContainer AtomContainer::fileRoot(FileTransaction* file, int64_t length)
{
    AtomContainer root;
    root.file = file;
    root.end = length;
    root.isFile = true;
    return root;
}

void atomread(const AtomContainer& c, int64_t pos, void* buffer, size_t n)
{
    if (c.file == nullptr)
        throw ATOM_ERR_NO_FILE;
    if (pos < 0)
        throw EINVAL;
    if (n != 0 && c.file->read(pos, buffer, n) != n)
        throw ATOM_ERR_TRUNCATED;
}

void atomwrite(const AtomContainer& c, int64_t pos, const void* buffer, size_t n)
{
    if (c.file == nullptr)
        throw ATOM_ERR_NO_FILE;
    if (n != 0)
        c.file->write(pos, buffer, n);
}

AtomHeader readHeader(const AtomContainer& c, int64_t pos)
{
    uint8_t bytes[8];
    atomread(c, pos, bytes, sizeof bytes);
    AtomHeader h;
    h.size = getbe32(bytes);
    h.type = getbe32(bytes + 4);
    // 0 (to the end of the file) and 1 (a 64-bit size follows) are not handled.
    if (h.size < 8)
        throw ATOM_ERR_BAD_SIZE;
    h.contentPos = pos + 8;
    h.contentSize = int64_t(h.size) - 8;
    return h;
}

int64_t findAtom(const AtomContainer& c, uint32_t type, int64_t from, AtomHeader* found)
{
    int64_t pos = std::max(c.start, from);
    while (pos < c.end) {
        if (pos + 8 > c.end) {
            // Fewer bytes than a header: trailing bytes of a damaged file, or a lie.
            if (c.isFile)
                return -1;
            throw ATOM_ERR_OVERRUN;
        }
        AtomHeader h = readHeader(c, pos);
        int64_t next = pos + int64_t(h.size);
        if (next > c.end) {
            if (!c.isFile)
                throw ATOM_ERR_OVERRUN;
            // At the top level the walk ends here; the caller decides whether
            // an atom that runs past the end of the file is usable.
            if (h.type != type)
                return -1;
        }
        if (h.type == type) {
            if (found != nullptr)
                *found = h;
            return pos;
        }
        if (next <= pos)
            throw ATOM_ERR_NO_PROGRESS;
        pos = next;
    }
    return -1;
}

bool openChild(AtomContainer& child, uint32_t type, AtomContainer& parent, bool create, uint32_t freeBytes,
               uint32_t skip)
{
    AtomHeader h;
    int64_t pos = findAtom(parent, type, 0, &h);
    bool created = false;
    if (pos < 0) {
        if (!create)
            throw ATOM_ERR_NO_CHILD;
        std::vector<uint8_t> zeros(skip, 0);
        pos = insertAtom(parent, type, zeros.data(), skip);
        h = readHeader(parent, pos);
        created = true;
    }
    // A container is only edited when it lies wholly inside its parent and
    // holds at least the prefix it skips.
    if (pos + int64_t(h.size) > parent.end || h.contentSize < int64_t(skip))
        throw ATOM_ERR_OVERRUN;

    child.parent = &parent;
    child.atomPos = pos;
    child.file = parent.file;
    child.start = h.contentPos + skip;
    child.end = h.contentPos + h.contentSize;
    child.freePos = 0;
    child.freeSize = 0;
    child.isFile = false;

    if (created && freeBytes > 0) {
        std::vector<uint8_t> zeros(freeBytes, 0);
        insertAtom(child, ATOM_FREE, zeros.data(), freeBytes);
    }
    return created;
}

int64_t insertAtom(AtomContainer& c, uint32_t type, const void* data, uint32_t length)
{
    if (int64_t(length) > ATOM_FILE_LIMIT - 8)
        throw ATOM_ERR_TOO_LARGE;
    lookupfree(c);
    int64_t pos = c.freePos >= 0 ? c.freePos : c.end;
    shiftTail(c, pos, pos + int64_t(length) + 8);
    writeheader(c, pos, length + 8, type);
    atomwrite(c, pos + 8, data, length);
    if (type == ATOM_FREE) {
        c.freePos = pos;
        c.freeSize = length + 8;
    }
    return pos;
}

void replaceAtom(AtomContainer& c, int64_t pos, const void* data, uint32_t length)
{
    if (int64_t(length) > ATOM_FILE_LIMIT - 8)
        throw ATOM_ERR_TOO_LARGE;
    AtomHeader h = readHeader(c, pos);
    if (pos < c.start || pos + int64_t(h.size) > c.end)
        throw ATOM_ERR_OVERRUN;
    shiftTail(c, pos + int64_t(h.size), pos + int64_t(length) + 8);
    writeheader(c, pos, length + 8, h.type);
    atomwrite(c, pos + 8, data, length);
}

size_t readContent(const AtomContainer& c, int64_t pos, void* buffer, size_t max)
{
    AtomHeader h = readHeader(c, pos);
    if (pos < c.start || pos + int64_t(h.size) > c.end)
        throw ATOM_ERR_OVERRUN;
    size_t n = size_t(std::min<int64_t>(h.contentSize, int64_t(max)));
    atomread(c, h.contentPos, buffer, n);
    return n;
}

void shiftTail(AtomContainer& c, int64_t from, int64_t to)
{
    const int64_t d = to - from;
    if (d == 0)
        return;
    if (from < c.start || from > c.end)
        throw ATOM_ERR_OVERRUN;
    lookupfree(c);

    // A 'free' child behind the edit absorbs growth up to its size - 8, and
    // shrinkage of up to 8 bytes (the comparison is unsigned on purpose).
    if (c.freePos >= 0 && c.freePos >= from && uint32_t(d + 8) <= c.freeSize) {
        moveBytes(c, to, from, c.freePos - from);
        c.freePos += d;
        c.freeSize = uint32_t(int64_t(c.freeSize) - d);
        writeheader(c, c.freePos, c.freeSize, ATOM_FREE);
        return;
    }

    const int64_t oldEnd = c.end;
    const int64_t newEnd = oldEnd + d;
    if (newEnd > ATOM_FILE_LIMIT)
        throw ATOM_ERR_TOO_LARGE;
    // Growing, the parent makes room behind this container before its bytes
    // move into it; shrinking, this container's bytes move first, and only
    // then does the parent take the room back. The other way round, the
    // parent's tail would overwrite this container's last bytes before they
    // were moved.
    if (d < 0)
        moveBytes(c, to, from, oldEnd - from);
    if (c.parent != nullptr) {
        shiftTail(*c.parent, oldEnd, newEnd);
        uint8_t size[4];
        putbe32(size, uint32_t(newEnd - c.atomPos));
        atomwrite(c, c.atomPos, size, sizeof size);
    }
    if (d > 0)
        moveBytes(c, to, from, oldEnd - from);
    if (c.freePos >= from)
        c.freePos += d;
    c.end = newEnd;
    if (c.isFile && d < 0)
        c.file->truncate(newEnd);
}

void moveBytes(const AtomContainer& c, int64_t to, int64_t from, int64_t length)
{
    if (from == to || length == 0)
        return;
    if (length < 0 || from < 0 || to < 0)
        throw ATOM_ERR_OVERRUN;
    if (c.file == nullptr)
        throw ATOM_ERR_NO_FILE;
    // Staged as a piece move: the media data is copied once, at the commit.
    c.file->move(to, from, length);
}

namespace {
// The chunk-offset table of the track at trakPos: 'mdia'/'minf'/'stbl'/'stco'.
// Fills header with the table's atom and returns its offset.
int64_t findchunkoffsets(AtomContainer& moov, int64_t trakPos, AtomHeader& header)
{
    AtomContainer trak, mdia, minf, stbl;
    AtomHeader th = readHeader(moov, trakPos);
    trak.parent = &moov;
    trak.atomPos = trakPos;
    trak.file = moov.file;
    trak.start = th.contentPos;
    trak.end = th.contentPos + th.contentSize;
    openChild(mdia, fourcc("mdia"), trak, false, 0, 0);
    openChild(minf, fourcc("minf"), mdia, false, 0, 0);
    openChild(stbl, fourcc("stbl"), minf, false, 0, 0);
    if (findAtom(stbl, fourcc("co64"), 0) >= 0)
        throw ATOM_ERR_CO64;
    int64_t pos = findAtom(stbl, fourcc("stco"), 0, &header);
    if (pos < 0)
        throw ATOM_ERR_NO_STCO;
    if (header.contentSize < 8)
        throw ATOM_ERR_STCO_SHORT;
    return pos;
}

template <typename Visit>
void eachtrack(AtomContainer& moov, Visit visit)
{
    const uint32_t trakType = fourcc("trak");
    AtomHeader h;
    for (int64_t pos = findAtom(moov, trakType, 0, &h); pos >= 0;
         pos = findAtom(moov, trakType, pos + int64_t(h.size), &h))
        visit(pos);
}
} // namespace

void checkChunkOffsets(AtomContainer& moov)
{
    eachtrack(moov, [&](int64_t trakPos) {
        AtomHeader h;
        findchunkoffsets(moov, trakPos, h);
    });
}

void fixChunkOffsets(AtomContainer& moov)
{
    // Every track's table is found before the first one is changed.
    std::vector<AtomHeader> tables;
    eachtrack(moov, [&](int64_t trakPos) {
        AtomHeader h;
        findchunkoffsets(moov, trakPos, h);
        tables.push_back(h);
    });
    FileTransaction& file = *moov.file;
    for (const AtomHeader& h : tables) {
        uint8_t head[8];
        atomread(moov, h.contentPos, head, sizeof head);
        const int64_t count = std::min<int64_t>(getbe32(head + 4), h.contentSize / 4 - 2);
        std::vector<uint8_t> table(size_t(count) * 4);
        atomread(moov, h.contentPos + 8, table.data(), table.size());
        bool moved = false;
        for (int64_t i = 0; i < count; ++i) {
            uint8_t* entry = table.data() + i * 4;
            const int64_t was = getbe32(entry);
            // An offset at or past the end of the file points at nothing we
            // could have moved; it stays as it is.
            if (was >= file.originalLength())
                continue;
            const int64_t now = file.whereis(was);
            if (now < 0)
                throw ATOM_ERR_CHUNK_LOST;
            if (now > ATOM_FILE_LIMIT)
                throw ATOM_ERR_TOO_LARGE;
            if (now != was) {
                putbe32(entry, uint32_t(now));
                moved = true;
            }
        }
        if (moved)
            atomwrite(moov, h.contentPos + 8, table.data(), table.size());
    }
}

} // namespace ovra
