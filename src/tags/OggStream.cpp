// Ogg pages: "OggS", version 0, flags, granule position, serial number and
// sequence number (little-endian), a CRC-32 over the page with that field
// zeroed, and a lacing table: a packet is a run of 255-byte segments ended
// by a shorter one.
#include "tags/OggStream.h"
#include "platform/ErrorCodes.h"

#include <array>
#include <cstring>

namespace ovra {

namespace {

constexpr int64_t MAX_HEADER_BYTES = int64_t(64) << 20; // headers larger than this are not read

uint64_t getle(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

void putle(uint8_t* p, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> pagebytes(const FileTransaction& file, const OggPage& page, bool original)
{
    std::vector<uint8_t> bytes(size_t(page.size()));
    if (original)
        file.readoriginal(page.offset, bytes.data(), bytes.size());
    else
        file.readall(page.offset, bytes.data(), bytes.size());
    return bytes;
}

bool crcholds(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> zeroed(bytes);
    std::memset(&zeroed[22], 0, 4);
    return oggcrc(zeroed.data(), zeroed.size()) == uint32_t(getle(&bytes[22], 4));
}

// Header packets from the page at pos on: the pages that hold them and
// whether the last one ends its page with nothing after it.
struct Headers {
    std::vector<OggPage> pages;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<bool> startsPage; // each packet begins a page of its own
    bool endsPage = false;
    bool crcOk = true;
};

// Reads until 'count' packets are complete, or (count 0) as many as the
// identification packet says the codec has.
Headers collect(const FileTransaction& file, int64_t pos, bool original, size_t count)
{
    Headers h;
    std::vector<uint8_t> pending;
    bool inPacket = false;
    int64_t total = 0;
    for (;;) {
        OggPage page = OggPage::read(file, pos, original);
        if (!h.pages.empty() && page.serial != h.pages.front().serial)
            throw TAG_ERR_UNUSABLE; // another stream among the headers
        if (((page.flags & 1) != 0) != inPacket)
            throw TAG_ERR_UNUSABLE;
        total += page.size();
        if (total > MAX_HEADER_BYTES)
            throw TAG_ERR_UNUSABLE;
        const std::vector<uint8_t> bytes = pagebytes(file, page, original);
        h.crcOk = h.crcOk && crcholds(bytes);
        const uint8_t* body = bytes.data() + page.headerSize();
        for (size_t i = 0; i < page.lacing.size(); ++i) {
            if (!inPacket)
                h.startsPage.push_back(i == 0);
            pending.insert(pending.end(), body, body + page.lacing[i]);
            body += page.lacing[i];
            inPacket = page.lacing[i] == 255;
            if (inPacket)
                continue;
            h.packets.push_back(std::move(pending));
            pending.clear();
            if (count == 0 && h.packets.size() == 1) {
                const std::vector<uint8_t>& id = h.packets[0];
                if (id.size() >= 7 && std::memcmp(id.data(), "\x01vorbis", 7) == 0)
                    count = 3;
                else if (id.size() >= 8 && std::memcmp(id.data(), "OpusHead", 8) == 0)
                    count = 2;
                else
                    throw TAG_ERR_UNUSABLE; // Ogg FLAC, Speex, Theora, ...
            }
            if (h.packets.size() == count) {
                h.endsPage = i + 1 == page.lacing.size();
                h.pages.push_back(std::move(page));
                return h;
            }
        }
        pos += page.size();
        h.pages.push_back(std::move(page));
    }
}

// The packets laid out in pages from sequence number 'sequence' on, as
// full as a page allows, but a packet that began a page of its own before
// does so again: the header keeps its page layout unless it outgrows it.
std::vector<uint8_t> paginate(const std::vector<std::vector<uint8_t>>& packets, const std::vector<bool>& fresh,
                              uint32_t serial, uint32_t sequence, uint64_t granule, bool sameGranule, int& pages)
{
    std::vector<uint8_t> lacing;
    std::vector<bool> ends;      // a packet ends with this segment
    std::vector<bool> pageStart; // a page begins with this segment
    for (size_t k = 0; k < packets.size(); ++k) {
        const auto& p = packets[k];
        pageStart.resize(lacing.size() + 1, false);
        pageStart[lacing.size()] = fresh[k];
        size_t n = p.size();
        for (; n >= 255; n -= 255) {
            lacing.push_back(255);
            ends.push_back(false);
        }
        lacing.push_back(uint8_t(n));
        ends.push_back(true);
    }
    std::vector<uint8_t> body;
    for (const auto& p : packets)
        body.insert(body.end(), p.begin(), p.end());

    std::vector<uint8_t> out;
    size_t segment = 0, at = 0;
    bool continued = false;
    pages = 0;
    pageStart.resize(lacing.size(), false);
    while (segment < lacing.size()) {
        size_t n = 1;
        while (n < 255 && segment + n < lacing.size() && !pageStart[segment + n])
            ++n;
        size_t bodySize = 0;
        bool anyEnd = false;
        for (size_t i = segment; i < segment + n; ++i) {
            bodySize += lacing[i];
            anyEnd = anyEnd || ends[i];
        }
        std::vector<uint8_t> page(27 + n + bodySize, 0);
        std::memcpy(page.data(), "OggS", 4);
        page[5] = continued ? 1 : 0;
        // A page on which no packet ends has no granule position of its own.
        putle(&page[6], sameGranule || anyEnd ? granule : ~uint64_t(0), 8);
        putle(&page[14], serial, 4);
        putle(&page[18], sequence + uint32_t(pages), 4);
        page[26] = uint8_t(n);
        std::memcpy(&page[27], &lacing[segment], n);
        std::memcpy(&page[27 + n], &body[at], bodySize);
        putle(&page[22], oggcrc(page.data(), page.size()), 4);
        out.insert(out.end(), page.begin(), page.end());
        continued = !ends[segment + n - 1];
        segment += n;
        at += bodySize;
        ++pages;
    }
    return out;
}

} // namespace

uint32_t oggcrc(const uint8_t* data, size_t size)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04c11db7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xff];
    return crc;
}

OggPage OggPage::read(const FileTransaction& file, int64_t pos, bool original)
{
    const int64_t length = original ? file.originalLength() : file.length();
    uint8_t h[27];
    if (pos < 0 || length - pos < 27)
        throw TAG_ERR_UNUSABLE;
    if (original)
        file.readoriginal(pos, h, sizeof h);
    else
        file.readall(pos, h, sizeof h);
    if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0)
        throw TAG_ERR_UNUSABLE;
    OggPage page;
    page.offset = pos;
    page.flags = h[5];
    page.granule = getle(&h[6], 8);
    page.serial = uint32_t(getle(&h[14], 4));
    page.sequence = uint32_t(getle(&h[18], 4));
    page.lacing.resize(h[26]);
    if (length - pos - 27 < int64_t(page.lacing.size()))
        throw TAG_ERR_UNUSABLE;
    if (!page.lacing.empty()) {
        if (original)
            file.readoriginal(pos + 27, page.lacing.data(), page.lacing.size());
        else
            file.readall(pos + 27, page.lacing.data(), page.lacing.size());
    }
    for (uint8_t l : page.lacing)
        page.bodySize += l;
    if (length - pos < page.size())
        throw TAG_ERR_UNUSABLE;
    return page;
}

void OggStream::read(const FileTransaction& file)
{
    Headers h = collect(file, 0, false, 0);
    if ((h.pages.front().flags & 2) == 0)
        throw TAG_ERR_UNUSABLE;
    kind = h.packets.size() == 3 ? Codec::vorbis : Codec::opus;
    const char* magic = kind == Codec::vorbis ? "\x03vorbis" : "OpusTags";
    if (h.packets[1].size() < commentprefix() || std::memcmp(h.packets[1].data(), magic, commentprefix()) != 0)
        throw TAG_ERR_UNUSABLE;
    headerPages = std::move(h.pages);
    packets = std::move(h.packets);
    startsPage = std::move(h.startsPage);
    headersIntact = h.crcOk;
    headersEndPage = h.endsPage;
}

void OggStream::rewrite(FileTransaction& file, const std::vector<uint8_t>& newComment) const
{
    // The identification packet alone on the first page, the last header
    // packet ending its page: the header pages can be laid out anew without
    // touching a page of audio.
    const OggPage& first = headerPages.front();
    if (headerPages.size() < 2 || first.lacing.size() != 1 || first.lacing[0] == 255 || !headersEndPage)
        throw TAG_ERR_STREAM;
    // New checksums over damaged headers would hide the damage.
    if (!headersIntact)
        throw TAG_ERR_STREAM;
    const int64_t headerStart = headerPages[1].offset;
    const int64_t headerEnd = headerPages.back().offset + headerPages.back().size();

    std::vector<std::vector<uint8_t>> rest(packets.begin() + 1, packets.end());
    rest[0] = newComment;
    bool sameGranule = true;
    for (size_t i = 1; i < headerPages.size(); ++i)
        sameGranule = sameGranule && headerPages[i].granule == headerPages[1].granule;
    int newPages = 0;
    const std::vector<bool> fresh(startsPage.begin() + 1, startsPage.end());
    const std::vector<uint8_t> header = paginate(rest, fresh, first.serial, first.sequence + 1,
                                                 sameGranule ? headerPages[1].granule : 0, sameGranule, newPages);
    const int64_t shift = int64_t(header.size()) - (headerEnd - headerStart);
    const int32_t delta = newPages - int32_t(headerPages.size() - 1);

    // Every later page: one stream to the end of the file, intact; when the
    // header's page count changes, its sequence number and checksum follow.
    struct Renumbered {
        int64_t at;
        uint8_t bytes[8];
    };
    std::vector<OggPage> later;
    std::vector<Renumbered> renumbered;
    for (int64_t pos = headerEnd; pos < file.originalLength();) {
        OggPage page;
        try {
            page = OggPage::read(file, pos, true);
        } catch (int) {
            throw TAG_ERR_STREAM; // something else after the stream
        }
        if (page.serial != first.serial || (page.flags & 2) != 0)
            throw TAG_ERR_STREAM; // multiplexed or chained
        std::vector<uint8_t> bytes = pagebytes(file, page, true);
        if (!crcholds(bytes))
            throw TAG_ERR_STREAM;
        pos += page.size();
        if ((page.flags & 4) != 0 && pos < file.originalLength())
            throw TAG_ERR_STREAM; // more after the end of the stream
        if (delta != 0) {
            Renumbered r;
            r.at = page.offset + shift + 18;
            putle(&bytes[18], page.sequence + uint32_t(delta), 4);
            std::memset(&bytes[22], 0, 4);
            putle(&bytes[22], oggcrc(bytes.data(), bytes.size()), 4);
            std::memcpy(r.bytes, &bytes[18], 8);
            renumbered.push_back(r);
        }
        later.push_back(std::move(page));
    }

    file.replace(headerStart, headerEnd - headerStart, header.data(), header.size());
    for (const Renumbered& r : renumbered)
        file.write(r.at, r.bytes, sizeof r.bytes);

    // The check: the identification page as it was, the new headers read
    // back, every later page the same but for its number, all checksums good.
    try {
        if (!file.isoriginal(0, 0, first.size()))
            throw TAG_ERR_AUDIO_MOVED;
        Headers back = collect(file, headerStart, false, rest.size());
        if (back.packets != rest || !back.endsPage || !back.crcOk || int(back.pages.size()) != newPages)
            throw TAG_ERR_AUDIO_MOVED;
        int64_t pos = headerStart + int64_t(header.size());
        for (const OggPage& was : later) {
            OggPage now = OggPage::read(file, pos, false);
            if (now.offset != was.offset + shift || now.flags != was.flags || now.granule != was.granule ||
                now.serial != was.serial || now.sequence != was.sequence + uint32_t(delta) ||
                now.lacing != was.lacing ||
                !file.isoriginal(now.offset + now.headerSize(), was.offset + was.headerSize(), was.bodySize) ||
                !crcholds(pagebytes(file, now, false)))
                throw TAG_ERR_AUDIO_MOVED;
            pos += now.size();
        }
        if (pos != file.length())
            throw TAG_ERR_AUDIO_MOVED;
    } catch (int code) {
        throw code == TAG_ERR_AUDIO_MOVED ? code : TAG_ERR_AUDIO_MOVED;
    }
}

} // namespace ovra
