// The atom layer on small files whose layout is known byte for byte.
#include "tags/AtomContainer.h"
#include "tags/Tag.h"
#include "TagTestSupport.h"

#include <cstring>
#include <numeric>

using namespace ovra;
using tagtest::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t code(const char* t) { return fourcc(std::string(t)); }

Bytes atom(const char* type, const Bytes& content)
{
    Bytes out(8);
    putbe32(out.data(), uint32_t(content.size() + 8));
    std::memcpy(out.data() + 4, type, 4);
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes filled(size_t n, uint8_t value) { return Bytes(n, value); }

uint32_t be32at(const Bytes& b, size_t pos) { return getbe32(b.data() + pos); }

// A staged file over given bytes, with its root container; bytes() commits.
class AtomFile {
public:
    AtomFile(TempDir& dir, const Bytes& bytes) : path(dir.path("atoms" + std::to_string(++made) + ".bin"))
    {
        tagtest::writebytes(path, bytes);
        file.open(path.c_str());
        root = AtomContainer::fileRoot(&file, int64_t(bytes.size()));
    }
    Bytes bytes()
    {
        file.commit();
        return tagtest::readbytes(path);
    }
    static inline int made = 0; // each on a file of its own
    std::string path;
    FileTransaction file;
    AtomContainer root;
};

} // namespace

// 'cont' holds 'aaaa', a 'free' atom and 'bbbb'; 'tail' follows at the top.
Bytes withfree(size_t freeSize)
{
    return cat({atom("cont",
                     cat({atom("aaaa", filled(4, 0xA1)), atom("free", filled(freeSize - 8, 0)),
                          atom("bbbb", filled(4, 0xB2))})),
                atom("tail", filled(16, 0xEE))});
}

// A new atom of 20 bytes goes into a free atom that keeps room for its own
// header (28 bytes); one byte less and every container grows instead.
TEST(AtomContainer, InsertionFillsAFreeAtomThatLeavesAtLeastItsHeaderElseGrowsTheContainers)
{
    TempDir dir;
    const Bytes added = atom("new ", filled(12, 0x77)), tail = atom("tail", filled(16, 0xEE));
    AtomFile f(dir, withfree(28));
    AtomContainer cont;
    openChild(cont, code("cont"), f.root, false, 0, 0);
    EXPECT_EQ(insertAtom(cont, code("new "), filled(12, 0x77).data(), 12), 20);
    EXPECT_EQ(
        f.bytes(),
        cat({atom("cont", cat({atom("aaaa", filled(4, 0xA1)), added, atom("free", {}), atom("bbbb", filled(4, 0xB2))})),
             tail}));

    AtomFile g(dir, withfree(27));
    openChild(cont, code("cont"), g.root, false, 0, 0);
    insertAtom(cont, code("new "), filled(12, 0x77).data(), 12);
    const Bytes grown = cat(
        {atom("cont",
              cat({atom("aaaa", filled(4, 0xA1)), added, atom("free", filled(19, 0)), atom("bbbb", filled(4, 0xB2))})),
         tail});
    EXPECT_EQ(g.bytes(), grown);
}

// 'cont' holds an item of 20 content bytes, a 16-byte 'free' atom and 'bbbb'.
Bytes withitem()
{
    return cat(
        {atom("cont", cat({atom("item", filled(20, 0x11)), atom("free", filled(8, 0)), atom("bbbb", filled(4, 0xB2))})),
         atom("tail", filled(16, 0xEE))});
}

// An item shrunk by eight bytes or more grows the free atom behind it; by
// fewer, every container shrinks and the file is cut.
TEST(AtomContainer, ShrinkingGrowsTheFreeAtomByEightBytesOrMoreElseShrinksEveryContainer)
{
    TempDir dir;
    const Bytes tail = atom("tail", filled(16, 0xEE)), bbbb = atom("bbbb", filled(4, 0xB2));
    AtomFile f(dir, withitem());
    AtomContainer cont;
    openChild(cont, code("cont"), f.root, false, 0, 0);
    replaceAtom(cont, 8, filled(12, 0x22).data(), 12);
    // Only the new header is written: the old free atom is left inside.
    const Bytes grown = atom("free", atom("free", filled(8, 0)));
    EXPECT_EQ(f.bytes(), cat({atom("cont", cat({atom("item", filled(12, 0x22)), grown, bbbb})), tail}));

    AtomFile g(dir, withitem());
    openChild(cont, code("cont"), g.root, false, 0, 0);
    replaceAtom(cont, 8, filled(11, 0x22).data(), 11);
    EXPECT_EQ(g.bytes(),
              cat({atom("cont", cat({atom("item", filled(11, 0x22)), atom("free", filled(8, 0)), bbbb})), tail}));
}

TEST(AtomContainer, MovedBytesAreWrittenAsIfThroughOneBuffer)
{
    TempDir dir;
    const int64_t step = 1 << 16;
    Bytes bytes(7 * step + 123);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t((i * 7919) >> 3);
    for (int64_t shift : {int64_t(1), int64_t(1000), step + 5, int64_t(-1), int64_t(-70000)}) {
        AtomFile f(dir, bytes);
        const int64_t from = 80000;
        const int64_t length = 3 * step + 77;
        moveBytes(f.root, from + shift, from, length);
        Bytes expected = bytes;
        std::memmove(expected.data() + from + shift, bytes.data() + from, size_t(length));
        EXPECT_EQ(f.bytes(), expected) << "shift " << shift;
    }
}

// ftyp, moov (with the track's tables), optional free, mdat of 64 bytes.
Bytes withchunks(uint32_t freeAfterMoov, uint32_t declared, int entries)
{
    auto buildstco = [&](uint32_t firstChunk) {
        Bytes content(8 + size_t(entries) * 4, 0);
        putbe32(content.data() + 4, declared);
        for (int i = 0; i < entries; ++i)
            putbe32(content.data() + 8 + i * 4, firstChunk + uint32_t(i) * 16);
        return atom("stco", content);
    };
    auto build = [&](uint32_t firstChunk) {
        Bytes stbl =
            atom("stbl", cat({atom("stsz", filled(12, 0)), buildstco(firstChunk), atom("stsc", filled(4, 0))}));
        Bytes moov = atom("moov", cat({atom("mvhd", filled(20, 0)), atom("trak", atom("mdia", atom("minf", stbl)))}));
        Bytes head = cat({atom("ftyp", Bytes{'M', '4', 'A', ' ', 0, 0, 0, 0}), moov});
        if (freeAfterMoov > 0)
            head = cat({head, atom("free", filled(freeAfterMoov - 8, 0))});
        return head;
    };
    uint32_t mdatPos = uint32_t(build(0).size());
    return cat({build(mdatPos + 8), atom("mdat", filled(64, 0x55))});
}

std::vector<uint32_t> chunkoffsets(const Bytes& b, int n)
{
    // The table is found by its type; its entries follow count and flags.
    for (size_t i = 0; i + 8 < b.size(); ++i) {
        if (std::memcmp(b.data() + i + 4, "stco", 4) == 0) {
            std::vector<uint32_t> out;
            for (int k = 0; k < n; ++k)
                out.push_back(be32at(b, i + 16 + size_t(k) * 4));
            return out;
        }
    }
    return {};
}

// 'moov' grows by 100 bytes: the chunk offsets follow 'mdat' when it moves,
// stay when free space behind 'moov' takes the growth, and only the entries
// present change when the count claims more.
TEST(AtomContainer, ChunkOffsetsFollowMdatWhenMoovGrows)
{
    struct Case {
        uint32_t freeAfterMoov;
        uint32_t declared;
        int entries;
        std::vector<uint32_t> shift; // of the first three words from the table's entries on
    };
    const Case cases[] = {{0, 3, 3, {100, 100, 100}}, {200, 3, 3, {0, 0, 0}}, {0, 9, 2, {100, 100, 0}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.freeAfterMoov) + " " + std::to_string(c.declared));
        TempDir dir;
        const Bytes before = withchunks(c.freeAfterMoov, c.declared, c.entries);
        AtomFile f(dir, before);
        int64_t mdat = findAtom(f.root, code("mdat"), 0);
        AtomContainer moov;
        openChild(moov, code("moov"), f.root, false, 0, 0);

        insertAtom(moov, code("junk"), filled(92, 0).data(), 92);
        fixChunkOffsets(moov);

        Bytes after = f.bytes();
        std::vector<uint32_t> old = chunkoffsets(before, 3), now = chunkoffsets(after, 3);
        ASSERT_EQ(now.size(), 3u);
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(now[i], old[i] + c.shift[i]) << i;
        const size_t moved = size_t(mdat) + c.shift[0];
        EXPECT_TRUE(std::equal(after.begin() + long(moved), after.end(), before.begin() + mdat));
    }
}
