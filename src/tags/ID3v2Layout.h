// The raw layout of the ID3v2 tag at the start of an MP3 file, and the one
// way Tempix changes it: its own frames are replaced or added, and every
// other byte of the tag (frames Tempix does not own, in their order, the
// header's version and flags, an extended header) stays exactly as it was.
//
// Both libraries re-render every frame they parsed when they save, and
// neither accounts for all of them (unknown or empty frames, an extended
// header, a second tag); so they only read, and render the frames that are
// ours, which are then spliced into the tag as it is on disk. A check of
// the result against the original follows before anything is committed.
#pragma once
#include "tags/FileTransaction.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ovra {

struct ID3v2Frame {
    std::string id;           // 3 characters in ID3v2.2, 4 after
    std::vector<uint8_t> raw; // header and body exactly as in the tag
    size_t headerSize = 10;
    uint16_t flags = 0;
    int version = 4;

    const uint8_t* body() const { return raw.data() + headerSize; }
    size_t bodySize() const { return raw.size() - headerSize; }
    // The body can be read as it is (not compressed, encrypted, grouped,
    // unsynchronised or prefixed with a length).
    bool plain() const;
};

struct ID3v2Layout {
    int version = 0; // 2, 3 or 4; 0: no ID3v2 tag at the start of the file
    int revision = 0;
    uint8_t flags = 0;
    int64_t size = 0;              // the whole tag, its 10-byte header included
    std::vector<uint8_t> extended; // the extended header as it is
    std::vector<ID3v2Frame> frames;

    // Reads the tag at the start of the staged file, or of the file as it
    // is on disk; frames of an unsynchronised ID3v2.3 tag come undone.
    // Throws TAG_ERR_LAYOUT when a byte of the tag cannot be accounted for,
    // or the tag uses something it cannot keep when it is changed (ID3v2.4
    // or v2.2 unsynchronisation, a footer, a CRC, unknown flags).
    static ID3v2Layout read(const FileTransaction& file, bool original);
    // The same over the bytes of a tag (at least as many as its size).
    static ID3v2Layout parse(const uint8_t* data, size_t n);
};

// One of Tempix's own frames: the frame it replaces, and its new bytes in
// the tag's version.
struct OwnFrame {
    enum class Match { firstOfId, commentDescribed, objectDescribed };
    Match match = Match::firstOfId;
    std::string id;          // in the tag's version: TBPM or TBP, COMM or COM, ...
    std::string description; // of a comment or an object
    std::vector<uint8_t> raw;

    bool matches(const ID3v2Frame& frame) const;
};

// The text description of a COMM or GEOB frame (Latin-1 or UTF-8 bytes;
// UTF-16 taken down to the same when it is ASCII); false when the body
// cannot be read. For a GEOB frame, end receives the body offset of the
// object's data.
bool id3description(const ID3v2Frame& frame, std::string& description, size_t* end = nullptr);

// Stages the old tag with its own frames replaced (or added at its end).
// The tag keeps its size when they fit, so the audio does not move;
// otherwise it grows, with room to spare. A file without a tag gets a new
// one of the given version in front of everything else (0: it must have
// one). Then checks the
// staged file against the original, and throws TAG_ERR_LAYOUT if anything
// not ours differs; the caller must then not commit.
void spliceid3v2(FileTransaction& file, const std::vector<OwnFrame>& ours, int newTagVersion);

} // namespace ovra
