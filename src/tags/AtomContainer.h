// Editing of MP4 atoms: a cursor over one container atom (or the whole
// file), the search for children, insertion and rewriting of atoms, the
// shifting of everything behind an edit with the help of 'free' atoms, and
// the chunk offsets that must follow the media data when it moves. The
// edits are staged in a FileTransaction and reach the file at its commit.
//
// Every size read from the file is untrusted: a child must lie inside its
// container and a read must lie inside the file, or the operation fails with
// a code before it writes anything.
#pragma once
#include "platform/BigEndian.h"

#include <cstddef>
#include <cstdint>

#include "tags/FileTransaction.h"

namespace ovra {

// Offsets stay below 2 GiB: the chunk-offset tables and atom sizes we edit
// are 32-bit.
constexpr int64_t ATOM_FILE_LIMIT = 0x7FFFFFFF;

struct AtomHeader {
    uint32_t type = 0;
    uint32_t size = 0;
    int64_t contentPos = 0;  // offset of the content (header offset + 8)
    int64_t contentSize = 0; // size - 8
};

struct AtomContainer {
    AtomContainer* parent = nullptr; // null for the whole file and for a temporary cursor
    int64_t atomPos = 0;             // offset of this container's header
    FileTransaction* file = nullptr; // shared by all containers of one tag
    int64_t start = 0;               // offset of the first child
    int64_t end = 0;                 // one past the container's last byte
    int64_t freePos = 0;             // first 'free' child: 0 not looked up, -1 none
    uint32_t freeSize = 0;           // its size, header included
    bool isFile = false;             // the whole-file root: may be truncated, sizes at its top level are lenient

    // The whole-file root over an open file of the given length.
    static AtomContainer fileRoot(FileTransaction* file, int64_t length);
};

// File primitives on a container's file (its staged state). They throw
// ATOM_ERR_NO_FILE without a file, errno when reading fails,
// ATOM_ERR_TRUNCATED for a read that meets the end of the file.
void atomread(const AtomContainer& c, int64_t pos, void* buffer, size_t n);
void atomwrite(const AtomContainer& c, int64_t pos, const void* buffer, size_t n);

// Reads the header at pos.
AtomHeader readHeader(const AtomContainer& c, int64_t pos);

// Offset of the first child of that type at or after max(start, from), or -1.
// A child that runs past its container fails with ATOM_ERR_OVERRUN, except at
// the top level of the file, where such a child ends the walk unless it is
// the one looked for (a truncated 'mdat', a 'free' that hides 'mdat').
int64_t findAtom(const AtomContainer& c, uint32_t type, int64_t from, AtomHeader* found = nullptr);

// Makes child the cursor over parent's child of that type, creating it (with
// freeBytes of reserved 'free' space) when asked. Returns whether it was created.
bool openChild(AtomContainer& child, uint32_t type, AtomContainer& parent, bool create, uint32_t freeBytes,
               uint32_t skip);

// Inserts a new atom in front of the container's first 'free' child, or at
// its end. Returns its offset.
int64_t insertAtom(AtomContainer& c, uint32_t type, const void* data, uint32_t length);

// Gives the atom at pos new content, keeping its type.
void replaceAtom(AtomContainer& c, int64_t pos, const void* data, uint32_t length);

// Reads up to max content bytes of the atom at pos; returns the count read.
size_t readContent(const AtomContainer& c, int64_t pos, void* buffer, size_t max);

// Moves the bytes from 'from' to the end of c so that they start at 'to',
// growing or shrinking c and its ancestors unless a 'free' child absorbs it.
void shiftTail(AtomContainer& c, int64_t from, int64_t to);

// Copies length bytes from 'from' to 'to' within the file, overlapping ranges
// included.
void moveBytes(const AtomContainer& c, int64_t to, int64_t from, int64_t length);

// Points every chunk offset of every track in moov at the place where the
// staged edits put the byte it pointed at on disk, whichever 'mdat' it lies
// in. Called once, just before the commit. Throws ATOM_ERR_CHUNK_LOST when
// such a byte is gone.
void fixChunkOffsets(AtomContainer& moov);

// Checks that every track of moov has a 32-bit chunk-offset table that can
// follow 'mdat' when it moves; throws the reason otherwise.
void checkChunkOffsets(AtomContainer& moov);

} // namespace ovra
