// The metadata blocks of a FLAC file (after an ID3v2 tag that some taggers
// put in front, which is kept as it is) and the rewriting of its Vorbis
// comment block. Padding takes up the change in size where it can, so the
// audio frames stay where they are; every other block keeps its bytes, and
// the result is checked against the original before anything is committed.
#pragma once
#include "tags/FileTransaction.h"

#include <cstdint>
#include <vector>

namespace ovra {

class FlacMetadata {
public:
    struct Block {
        int64_t offset = 0; // of the block header
        uint8_t type = 0;   // 0 STREAMINFO, 1 PADDING, 4 VORBIS_COMMENT, 6 PICTURE, ...
        bool last = false;
        uint32_t length = 0; // of the body
        int64_t body() const { return offset + 4; }
        int64_t end() const { return offset + 4 + length; }
    };
    static constexpr uint8_t STREAMINFO = 0;
    static constexpr uint8_t PADDING = 1;
    static constexpr uint8_t VORBIS_COMMENT = 4;
    // Padding added when the comment outgrows what the file has, so that
    // later updates fit again.
    static constexpr uint32_t ADDED_PADDING = 4096;

    // Throws TAG_ERR_UNUSABLE when the file is not FLAC or its blocks are broken.
    void read(const FileTransaction& file);
    // The first Vorbis comment block's body; empty when there is none.
    std::vector<uint8_t> comment(const FileTransaction& file) const;
    bool hascomment() const { return commentIndex >= 0; }

    // Stages the file with this comment body. Throws TAG_ERR_LAYOUT (more
    // than one comment block, a body too large for a block) or
    // TAG_ERR_AUDIO_MOVED when the check finds anything else changed; the
    // staged state must then be discarded.
    void rewrite(FileTransaction& file, const std::vector<uint8_t>& body) const;

private:
    static std::vector<Block> walk(const FileTransaction& file, int64_t start, bool original);
    void check(const FileTransaction& file, const std::vector<uint8_t>& body) const;

    int64_t start = 0; // of "fLaC"
    std::vector<Block> blocks;
    int commentIndex = -1;
};

} // namespace ovra
