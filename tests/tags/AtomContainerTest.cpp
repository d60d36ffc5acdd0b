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

std::string typeat(const Bytes& b, size_t pos)
{
    return std::string(reinterpret_cast<const char*>(b.data() + pos + 4), 4);
}

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

using tagtest::codeof;

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
    const Bytes roomy = withfree(28);
    AtomFile f(dir, roomy);
    AtomContainer cont;
    openChild(cont, code("cont"), f.root, false, 0, 0);
    EXPECT_EQ(insertAtom(cont, code("new "), filled(12, 0x77).data(), 12), 20);
    Bytes after = f.bytes();
    ASSERT_EQ(after.size(), roomy.size()) << "nothing outside the free atom may move";
    EXPECT_EQ(be32at(after, 20), 20u);
    EXPECT_EQ(typeat(after, 20), "new ");
    EXPECT_EQ(be32at(after, 40), 8u);
    EXPECT_EQ(typeat(after, 40), "free");
    EXPECT_EQ(be32at(after, 0), roomy.size() - 24) << "the container keeps its size";
    EXPECT_TRUE(std::equal(after.begin() + 48, after.end(), roomy.begin() + 48));

    const Bytes tight = withfree(27);
    AtomFile g(dir, tight);
    openChild(cont, code("cont"), g.root, false, 0, 0);
    insertAtom(cont, code("new "), filled(12, 0x77).data(), 12);
    after = g.bytes();
    ASSERT_EQ(after.size(), tight.size() + 20);
    EXPECT_EQ(be32at(after, 0), be32at(tight, 0) + 20);
    EXPECT_EQ(typeat(after, 20), "new ");
    EXPECT_EQ(be32at(after, 40), 27u) << "the free atom moves behind the new one, its size unchanged";
    EXPECT_EQ(typeat(after, 40), "free");
    EXPECT_TRUE(std::equal(after.begin() + 40, after.end(), tight.begin() + 20));
    EXPECT_EQ(cont.end, int64_t(be32at(after, 0)));
    EXPECT_EQ(g.root.end, int64_t(after.size()));
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
    const Bytes before = withitem();
    AtomFile f(dir, before);
    AtomContainer cont;
    openChild(cont, code("cont"), f.root, false, 0, 0);
    replaceAtom(cont, 8, filled(12, 0x22).data(), 12);
    Bytes after = f.bytes();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(be32at(after, 8), 20u);
    EXPECT_EQ(be32at(after, 28), 24u);
    EXPECT_EQ(typeat(after, 28), "free");
    EXPECT_TRUE(std::equal(after.begin() + 52, after.end(), before.begin() + 52));

    AtomFile g(dir, before);
    openChild(cont, code("cont"), g.root, false, 0, 0);
    replaceAtom(cont, 8, filled(11, 0x22).data(), 11);
    after = g.bytes();
    ASSERT_EQ(after.size(), before.size() - 9);
    EXPECT_EQ(be32at(after, 0), be32at(before, 0) - 9);
    EXPECT_EQ(be32at(after, 8), 19u);
    EXPECT_EQ(be32at(after, 27), 16u) << "the free atom keeps its size";
    EXPECT_TRUE(std::equal(after.begin() + 27, after.end(), before.begin() + 36));
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

// Atom sizes that cannot be, children that run past their container or the
// file, reads past the end and growth past the limit: codes, nothing written.
TEST(AtomContainer, LayoutsThatCannotBeHandledAreRefusedAndNothingIsWritten)
{
    TempDir dir;
    for (uint32_t size : {0u, 1u, 7u, 30u}) { // 30: 'bbbb' claims bytes of 'tail'
        Bytes bytes = cat(
            {atom("cont", cat({atom("aaaa", filled(4, 1)), atom("bbbb", filled(4, 2))})), atom("tail", filled(40, 3))});
        putbe32(bytes.data() + 20, size);
        AtomFile f(dir, bytes);
        AtomContainer cont;
        openChild(cont, code("cont"), f.root, false, 0, 0);
        const int expected = size == 30 ? ATOM_ERR_OVERRUN : ATOM_ERR_BAD_SIZE;
        EXPECT_EQ(codeof([&] { findAtom(cont, code("zzzz"), 0); }), expected) << "size " << size;
        EXPECT_EQ(codeof([&] { insertAtom(cont, code("new "), "abcd", 4); }), expected) << "size " << size;
        EXPECT_EQ(codeof([&] { findAtom(f.root, code("zzzz"), 0); }), 0) << "the top level itself is fine";
        EXPECT_EQ(f.bytes(), bytes);
    }

    Bytes bytes = cat({atom("ftyp", filled(8, 0)), atom("moov", filled(40, 0))});
    putbe32(bytes.data() + 16, 4000);
    AtomFile f(dir, bytes);
    AtomContainer moov;
    EXPECT_EQ(codeof([&] { openChild(moov, code("moov"), f.root, false, 0, 0); }), ATOM_ERR_OVERRUN);
    EXPECT_EQ(findAtom(f.root, code("mdat"), 0), -1) << "the walk at the top level simply ends there";

    AtomFile small(dir, atom("aaaa", filled(4, 1)));
    uint8_t buffer[64];
    EXPECT_EQ(codeof([&] { atomread(small.root, 8, buffer, sizeof buffer); }), ATOM_ERR_TRUNCATED);
    AtomContainer big = small.root;
    big.end = ATOM_FILE_LIMIT - 4;
    big.freePos = -1;
    EXPECT_EQ(codeof([&] { shiftTail(big, 0, 8); }), ATOM_ERR_TOO_LARGE);
    EXPECT_EQ(small.bytes(), atom("aaaa", filled(4, 1)));

    AtomContainer closed;
    EXPECT_EQ(codeof([&] { findAtom(closed, code("free"), 0); }), 0) << "an empty range is not read";
    closed.end = 16;
    EXPECT_EQ(codeof([&] { findAtom(closed, code("free"), 0); }), ATOM_ERR_NO_FILE);
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
        EXPECT_EQ(typeat(after, moved), "mdat");
        EXPECT_TRUE(std::equal(after.begin() + long(moved), after.end(), before.begin() + mdat));
    }
}
