// The header packets of an Ogg Vorbis or Opus stream and their rewriting.
// Only the comment packet changes: the header pages are laid out again,
// every later page keeps its bytes (its sequence number and checksum follow
// when the header takes more or fewer pages), and the result is checked
// against the original page by page before anything is committed.
#pragma once
#include "tags/FileTransaction.h"

#include <cstdint>
#include <vector>

namespace ovra {

struct OggPage {
    int64_t offset = 0; // of "OggS"
    uint8_t flags = 0;  // 1 continued packet, 2 first page, 4 last page
    uint64_t granule = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    std::vector<uint8_t> lacing;
    int64_t bodySize = 0;

    int64_t headerSize() const { return 27 + int64_t(lacing.size()); }
    int64_t size() const { return headerSize() + bodySize; }
    // The page at pos, staged or as on disk; throws TAG_ERR_UNUSABLE.
    static OggPage read(const FileTransaction& file, int64_t pos, bool original);
};

class OggStream {
public:
    enum class Codec { vorbis, opus };

    // Reads the identification and comment headers (and Vorbis' setup
    // header). Throws TAG_ERR_UNUSABLE for anything else (Ogg FLAC, Speex,
    // Theora, a broken start).
    void read(const FileTransaction& file);
    Codec codec() const { return kind; }
    // The comment packet, magic included.
    const std::vector<uint8_t>& comment() const { return packets[1]; }
    // Magic bytes in front of the comment list, and what the packet holds.
    size_t commentprefix() const { return kind == Codec::vorbis ? 7 : 8; }

    // Stages the stream with this comment packet. Throws TAG_ERR_STREAM
    // (chained, multiplexed or damaged stream) or TAG_ERR_AUDIO_MOVED (the
    // check found a page other than the headers changed); the staged state
    // is then unusable and must be discarded.
    void rewrite(FileTransaction& file, const std::vector<uint8_t>& newComment) const;

private:
    Codec kind = Codec::vorbis;
    std::vector<OggPage> headerPages; // the identification page first
    std::vector<std::vector<uint8_t>> packets;
    std::vector<bool> startsPage; // of each packet: it began a page
    bool headersEndPage = false;  // the last header packet ends its page, nothing else on it
    bool headersIntact = false;   // every header page's checksum holds
};

uint32_t oggcrc(const uint8_t* data, size_t size);

} // namespace ovra
