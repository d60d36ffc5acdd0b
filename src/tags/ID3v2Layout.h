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
#include "tags/ReplayGain.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ovra {

// A synchsafe number (seven bits in each of four bytes), as ID3v2 keeps its
// sizes; -1 when a byte has its top bit set: no writer makes one, and a
// reader could only guess what it means.
int64_t id3synchsafe(const uint8_t* p);

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
    // userTextDescribed: a TXXX (TXX) frame whose description is the same
    // in any ASCII case.
    enum class Match { firstOfId, commentDescribed, objectDescribed, userTextDescribed };
    Match match = Match::firstOfId;
    std::string id;          // in the tag's version: TBPM or TBP, COMM or COM, ...
    std::string description; // of a comment, an object or a user text
    std::vector<uint8_t> raw;
    // The frame it matches is taken out of the tag instead (a second copy
    // of our record); nothing is added when none matches.
    bool remove = false;

    bool matches(const ID3v2Frame& frame) const;
};

// The text description of a COMM, GEOB or TXXX frame (Latin-1 or UTF-8
// bytes; UTF-16 taken down to the same when it is ASCII); false when the
// body cannot be read. end receives the body offset of what follows it
// (the object's data, the comment's or user text's value).
bool id3description(const ID3v2Frame& frame, std::string& description, size_t* end = nullptr);
// The value of a COMM or TXXX frame after its description, the same way
// (the first of several texts).
bool id3value(const ID3v2Frame& frame, std::string& value);

// A frame of that id and body in a tag of that version (2, 3 or 4), no flags.
std::vector<uint8_t> id3frame(const char* id, int version, const std::vector<uint8_t>& body);

// ReplayGain in TXXX frames: the values the frames hold, and the frames
// that stage new ones (Latin-1, in the tag's version, each replacing the
// frame of that description in any case, whose description it keeps).
ReplayGain id3replaygain(const std::vector<ID3v2Frame>& frames);
std::vector<OwnFrame> id3replaygainframes(const ReplayGain& values, int version, const std::vector<ID3v2Frame>& frames);

// The data record is a GEOB frame when id3lib writes it and a comment when
// TagLib does; a tag converted between ID3v2.3 and v2.4 by another program
// keeps the one it had. The removals that leave only the first frame of
// keptId (GEOB or COMM) with that owner: every other GEOB or COMM of it.
std::vector<OwnFrame> id3extrarecords(const std::vector<ID3v2Frame>& frames, const std::string& owner,
                                      const char* keptId);

// Stages the old tag with its own frames replaced (or added at its end).
// The tag keeps its size when they fit, so the audio does not move;
// otherwise it grows, with room to spare. A file without a tag gets a new
// one of the given version in front of everything else (0: it must have
// one). Then checks the
// staged file against the original, and throws TAG_ERR_LAYOUT if anything
// not ours differs; the caller must then not commit.
void spliceid3v2(FileTransaction& file, const std::vector<OwnFrame>& ours, int newTagVersion);

} // namespace ovra
