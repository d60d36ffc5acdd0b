// MP4 metadata items in 'moov'/'udta'/'meta'/'ilst', and the data record as
// an atom of its own in 'udta'.
#include "tags/Tag_QTAtoms.h"
#include "platform/tools_strings.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace ovra {

namespace {

// An item whose name begins with the copyright sign (0xA9).
constexpr uint32_t signeditem(const char (&s)[4])
{
    return 0xA9u << 24 | uint32_t(uint8_t(s[0])) << 16 | uint32_t(uint8_t(s[1])) << 8 | uint8_t(s[2]);
}

constexpr uint32_t ITEM_TITLE = signeditem("nam");
constexpr uint32_t ITEM_ARTIST = signeditem("ART");
constexpr uint32_t ITEM_COMPOSER = signeditem("wrt");
constexpr uint32_t ITEM_ALBUM = signeditem("alb");
constexpr uint32_t ITEM_GENRE_TEXT = signeditem("gen");
constexpr uint32_t ITEM_COMMENT = signeditem("cmt");
constexpr uint32_t ITEM_TEMPO = fourcc("tmpo");
constexpr uint32_t ITEM_GENRE = fourcc("gnre");

constexpr uint32_t TYPE_TEXT = 1;
constexpr uint32_t TYPE_INTEGER = 21;
constexpr uint32_t TYPE_GENRE = 0;

// Freeform items ('----'): a 'mean' (the owner) and a 'name', then 'data'.
constexpr uint32_t ITEM_FREEFORM = fourcc("----");
constexpr const char* FREEFORM_MEAN = "com.apple.iTunes";
// A freeform item larger than this is not one of the ReplayGain texts.
constexpr int64_t FREEFORM_MAX = 65536;

bool sameascii(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strcmp_ci_ascii(a.c_str(), b.c_str()) == 0;
}

// An atom of the given type and content.
void appendatom(std::vector<uint8_t>& out, uint32_t type, const void* content, size_t size)
{
    uint8_t header[8];
    putbe32(header, uint32_t(size + 8));
    putbe32(header + 4, type);
    out.insert(out.end(), header, header + 8);
    const uint8_t* bytes = static_cast<const uint8_t*>(content);
    out.insert(out.end(), bytes, bytes + size);
}

// Content of the handler atom of a new 'meta': version and flags, predefined,
// handler type 'mdir', maker 'appl', reserved.
constexpr uint8_t HANDLER[26] = {0,   0,   0,   0, 0, 0, 0, 0, 'm', 'd', 'i', 'r', 'a',
                                 'p', 'p', 'l', 0, 0, 0, 0, 0, 0,   0,   0,   0,   0};
} // namespace

Tag_QTAtoms::Tag_QTAtoms(const char* path, bool readOnly) { open(path, readOnly); }

Tag_QTAtoms::~Tag_QTAtoms()
{
    // A track that ends early keeps its file as it was: what was staged and
    // not closed is dropped, never half written.
    release();
}

void Tag_QTAtoms::release()
{
    root.file = moov.file = udta.file = meta.file = ilst.file = nullptr;
    file.close();
}

void Tag_QTAtoms::open(const char* path_, bool readOnly_)
{
    close();
    readOnly = readOnly_;
    try {
        // Read-only even for writing: a file that cannot be written fails
        // at the commit with its own errno, after it has been read.
        file.open(path_);
        path = path_;
        load();
    } catch (...) {
        release();
        throw;
    }
}

// Finds the containers in the file as it is now.
void Tag_QTAtoms::load()
{
    hasUdta = false;
    hasIlst = false;
    mdatPos = -1;
    refusal = 0;
    AtomContainer probe = AtomContainer::fileRoot(&file, file.length());
    uint8_t brand[8];
    atomread(probe, 4, brand, sizeof brand);
    if (std::memcmp(brand, "ftypM4A ", 8) != 0)
        throw ATOM_ERR_NOT_M4A;

    const int64_t length = file.length();
    // Edits keep offsets 32-bit; a larger file is refused before anything is written.
    if (!readOnly && length > ATOM_FILE_LIMIT)
        throw ATOM_ERR_TOO_LARGE;

    root = AtomContainer::fileRoot(&file, length);
    moov = udta = meta = ilst = AtomContainer();
    mdatPos = findAtom(root, fourcc("mdat"), 0);
    openChild(moov, fourcc("moov"), root, false, 0, 0);

    // The repair runs before any edit, while the chunk offsets still
    // point where 'mdat' really is.
    if (mdatPos < 0)
        repair();
    if (!readOnly) {
        // Writing may move 'mdat'; only a file whose every track can
        // follow it is edited.
        if (mdatPos < 0)
            throw ATOM_ERR_MDAT_LOST;
        checkChunkOffsets(moov);
        // The fragments of a fragmented file hold absolute offsets of their
        // own that no table lists; moving the media data would lose them.
        if (findAtom(moov, fourcc("mvex"), 0) >= 0 || findAtom(root, fourcc("moof"), 0) >= 0)
            refusal = ATOM_ERR_FRAGMENTED;
    }
    try {
        openChild(udta, fourcc("udta"), moov, false, 0, 0);
        hasUdta = true;
        openMetaChain(false);
    } catch (int code) {
        if (code != ATOM_ERR_NO_CHILD)
            throw;
    }
}

// Opens 'meta' (its version and flags skipped) and 'ilst' in udta.
void Tag_QTAtoms::openMetaChain(bool create)
{
    hasIlst = false;
    meta = ilst = AtomContainer();
    try {
        if (openChild(meta, fourcc("meta"), udta, create, META_FREE, 4))
            insertAtom(meta, fourcc("hdlr"), HANDLER, sizeof HANDLER);
        openChild(ilst, fourcc("ilst"), meta, create, ILST_FREE, 0);
    } catch (int code) {
        if (create || code != ATOM_ERR_NO_CHILD)
            throw;
        return;
    }
    hasIlst = true;
}

void Tag_QTAtoms::repair()
{
    try {
        AtomContainer trak, mdia, minf, stbl;
        openChild(trak, fourcc("trak"), moov, false, 0, 0);
        openChild(mdia, fourcc("mdia"), trak, false, 0, 0);
        openChild(minf, fourcc("minf"), mdia, false, 0, 0);
        openChild(stbl, fourcc("stbl"), minf, false, 0, 0);
        AtomHeader sh;
        if (findAtom(stbl, fourcc("stco"), 0, &sh) < 0)
            throw ATOM_ERR_NO_STCO;
        if (sh.contentSize < 12)
            throw ATOM_ERR_STCO_SHORT;
        uint8_t table[12];
        atomread(stbl, sh.contentPos, table, sizeof table);
        if (getbe32(table + 4) == 0)
            throw ATOM_ERR_STCO_SHORT;
        const int64_t mdat = int64_t(getbe32(table + 8)) - 8;

        AtomHeader fh;
        const int64_t f = findAtom(root, fourcc("free"), 0, &fh);
        if (f < 0)
            throw ATOM_ERR_NO_FREE;
        // Only a 'free' atom that really hides an 'mdat' header where the
        // first chunk says it is gets a new size.
        if (mdat < f + 8 || mdat + 8 > root.end || f + int64_t(fh.size) <= mdat)
            throw ATOM_ERR_MDAT_LOST;
        if (readHeader(root, mdat).type != fourcc("mdat"))
            throw ATOM_ERR_MDAT_LOST;
        uint8_t size[4];
        putbe32(size, uint32_t(mdat - f));
        atomwrite(root, f, size, sizeof size);
        root.freePos = 0;
        // From now on 'mdat' is found again, so later edits keep the chunk
        // offsets right.
        mdatPos = findAtom(root, fourcc("mdat"), 0);
    } catch (int code) {
        std::fprintf(stderr, "Could not fix: %s; err=%ld\n", path.c_str(), long(code));
    }
}

void Tag_QTAtoms::update()
{
    if (!file.isopen() || !file.changed())
        return;
    try {
        if (refusal != 0)
            throw int(refusal);
        fixChunkOffsets(moov);
        file.commit();
    } catch (...) {
        // Nothing of it reached the file; start again from what is there.
        file.discard();
        try {
            load();
        } catch (...) {
            release();
        }
        throw;
    }
}

void Tag_QTAtoms::close()
{
    if (file.isopen())
        updatethenrelease([this] { release(); });
}

void Tag_QTAtoms::requireWritable()
{
    if (!file.isopen())
        throw ATOM_ERR_NO_FILE;
    if (readOnly)
        throw EBADF;
    // The metadata containers are made when something is first written.
    if (!hasUdta) {
        openChild(udta, fourcc("udta"), moov, true, UDTA_FREE, 0);
        hasUdta = true;
    }
    if (!hasIlst)
        openMetaChain(true);
}

size_t Tag_QTAtoms::readItem(uint32_t code, uint8_t* buffer, size_t max)
{
    if (!file.isopen())
        throw ATOM_ERR_NO_FILE;
    if (!hasIlst)
        throw TAG_ERR_NOT_FOUND;
    AtomHeader h;
    if (findAtom(ilst, code, 0, &h) < 0)
        throw TAG_ERR_NOT_FOUND;
    AtomContainer item;
    item.file = &file;
    item.start = h.contentPos;
    item.end = h.contentPos + h.contentSize;
    int64_t d = findAtom(item, fourcc("data"), 0);
    if (d < 0)
        throw ATOM_ERR_NO_DATA;
    return readContent(item, d, buffer, max);
}

void Tag_QTAtoms::writeItem(uint32_t code, uint32_t typeIndicator, const void* payload, uint32_t length)
{
    requireWritable();
    if (length > uint32_t(ATOM_FILE_LIMIT) - 32)
        throw ATOM_ERR_TOO_LARGE;
    std::vector<uint8_t> data;
    try {
        data.resize(size_t(length) + 16);
    } catch (const std::bad_alloc&) {
        throw ENOMEM;
    }
    putbe32(data.data(), length + 16);
    putbe32(data.data() + 4, fourcc("data"));
    putbe32(data.data() + 8, typeIndicator);
    putbe32(data.data() + 12, 0);
    if (length > 0)
        std::memcpy(data.data() + 16, payload, length);
    int64_t pos = findAtom(ilst, code, 0);
    if (pos < 0)
        insertAtom(ilst, code, data.data(), uint32_t(data.size()));
    else
        replaceAtom(ilst, pos, data.data(), uint32_t(data.size()));
}

void Tag_QTAtoms::getText(uint32_t code, char* buffer, int size)
{
    if (size < 1)
        return;
    std::vector<uint8_t> item;
    try {
        item.resize(size_t(size) + 8);
    } catch (const std::bad_alloc&) {
        throw ENOMEM;
    }
    size_t n = readItem(code, item.data(), item.size());
    if (n < 4 || getbe32(item.data()) != TYPE_TEXT)
        throw ATOM_ERR_TEXT_TYPE;
    strcpy_max(buffer, size_t(size), reinterpret_cast<const char*>(item.data() + 8), n > 8 ? n - 8 : 0);
}

void Tag_QTAtoms::setText(uint32_t code, const char* text)
{
    writeItem(code, TYPE_TEXT, text, uint32_t(std::strlen(text)));
}

void Tag_QTAtoms::getTitle(char* buffer, int size) { getText(ITEM_TITLE, buffer, size); }
void Tag_QTAtoms::getArtist(char* buffer, int size) { getText(ITEM_ARTIST, buffer, size); }
void Tag_QTAtoms::getComposer(char* buffer, int size) { getText(ITEM_COMPOSER, buffer, size); }
void Tag_QTAtoms::getAlbum(char* buffer, int size) { getText(ITEM_ALBUM, buffer, size); }
void Tag_QTAtoms::getComment(char* buffer, int size) { getText(ITEM_COMMENT, buffer, size); }

void Tag_QTAtoms::setTitle(const char* text) { setText(ITEM_TITLE, text); }
void Tag_QTAtoms::setArtist(const char* text) { setText(ITEM_ARTIST, text); }
void Tag_QTAtoms::setComposer(const char* text) { setText(ITEM_COMPOSER, text); }
void Tag_QTAtoms::setAlbum(const char* text) { setText(ITEM_ALBUM, text); }
void Tag_QTAtoms::setGenre(const char* text) { setText(ITEM_GENRE_TEXT, text); }
void Tag_QTAtoms::setComment(const char* text) { setText(ITEM_COMMENT, text); }

void Tag_QTAtoms::getGenre(char* buffer, int size)
{
    uint8_t item[10];
    size_t n = 0;
    try {
        n = readItem(ITEM_GENRE, item, sizeof item);
    } catch (...) {
        getText(ITEM_GENRE_TEXT, buffer, size);
        return;
    }
    if (n < sizeof item)
        throw ATOM_ERR_GNRE_SHORT;
    if (getbe32(item) != TYPE_GENRE)
        throw ATOM_ERR_GNRE_TYPE;
    uint16_t g = getbe16(item + 8);
    if (uint16_t(g - 1) >= 126)
        throw ATOM_ERR_GNRE_RANGE;
    if (size >= 1)
        strcpy_max(buffer, size_t(size), genreNames[g - 1]);
}

int Tag_QTAtoms::getBPM()
{
    uint8_t item[10];
    size_t n = readItem(ITEM_TEMPO, item, sizeof item);
    if (n < sizeof item)
        throw ATOM_ERR_TMPO_SHORT;
    if (getbe32(item) != TYPE_INTEGER)
        throw ATOM_ERR_TMPO_TYPE;
    return int16_t(getbe16(item + 8));
}

void Tag_QTAtoms::setBPM(int bpm)
{
    uint8_t value[2] = {uint8_t(uint32_t(bpm) >> 8), uint8_t(bpm)};
    writeItem(ITEM_TEMPO, TYPE_INTEGER, value, sizeof value);
}

void Tag_QTAtoms::getData(const char*, uint32_t code, void* buffer, int size)
{
    if (!file.isopen())
        throw ATOM_ERR_NO_FILE;
    if (!hasUdta)
        throw TAG_ERR_NOT_FOUND;
    int64_t pos = findAtom(udta, code, 0);
    if (pos < 0)
        throw TAG_ERR_NOT_FOUND;
    readContent(udta, pos, buffer, size_t(size > 0 ? size : 0));
}

void Tag_QTAtoms::setData(const char*, uint32_t code, const void* data, int size)
{
    requireWritable();
    if (size < 0)
        throw EINVAL;
    int64_t pos = findAtom(udta, code, 0);
    if (pos < 0)
        insertAtom(udta, code, data, uint32_t(size));
    else
        replaceAtom(udta, pos, data, uint32_t(size));
    // An edit in 'udta' can move 'meta' when it lies behind the edit.
    openMetaChain(false);
}

// ReplayGain as mutagen and TagLib write it: freeform items of the mean
// com.apple.iTunes, named in lower case, with one UTF-8 'data' child.
Tag_QTAtoms::Freeform Tag_QTAtoms::findFreeform(const char* name)
{
    Freeform found;
    if (!file.isopen())
        throw ATOM_ERR_NO_FILE;
    if (!hasIlst)
        return found;
    AtomHeader h;
    for (int64_t pos = findAtom(ilst, ITEM_FREEFORM, 0, &h); pos >= 0;
         pos = findAtom(ilst, ITEM_FREEFORM, pos + int64_t(h.size), &h)) {
        if (h.size < 8 || h.contentSize > FREEFORM_MAX)
            continue;
        std::vector<uint8_t> content(size_t(h.contentSize));
        if (readContent(ilst, pos, content.data(), content.size()) != content.size())
            continue;
        std::string mean, itemName;
        std::vector<uint8_t> meanName;
        bool text = false;
        std::string value;
        bool data = false;
        for (size_t at = 0; at + 8 <= content.size();) {
            const uint32_t size = getbe32(&content[at]);
            const uint32_t type = getbe32(&content[at + 4]);
            if (size < 8 || size > content.size() - at)
                break;
            const uint8_t* body = &content[at + 8];
            const size_t n = size - 8;
            if (type == fourcc("mean") && n >= 4) {
                mean.assign(reinterpret_cast<const char*>(body + 4), n - 4);
                meanName.insert(meanName.end(), &content[at], &content[at] + size);
            } else if (type == fourcc("name") && n >= 4) {
                itemName.assign(reinterpret_cast<const char*>(body + 4), n - 4);
                meanName.insert(meanName.end(), &content[at], &content[at] + size);
            } else if (type == fourcc("data") && !data && n >= 8) {
                data = true;
                text = getbe32(body) == TYPE_TEXT;
                value.assign(reinterpret_cast<const char*>(body + 8), n - 8);
            }
            at += size;
        }
        if (mean == FREEFORM_MEAN && sameascii(itemName, name)) {
            found.pos = pos;
            found.meanName = std::move(meanName);
            found.value = std::move(value);
            found.text = text;
            return found;
        }
    }
    return found;
}

ReplayGain Tag_QTAtoms::getReplayGain()
{
    ReplayGain values;
    for (int i = 0; i < 4; ++i) {
        const Freeform item = findFreeform(REPLAYGAIN_FIELDS[i]);
        if (item.pos >= 0 && item.text)
            replaygainvalue(values, i) = parsereplaygain(item.value);
    }
    return values;
}

void Tag_QTAtoms::setReplayGain(const ReplayGain& values)
{
    for (int i = 0; i < 4; ++i) {
        const std::optional<double>& value = replaygainvalue(values, i);
        if (!value)
            continue;
        requireWritable();
        const Freeform item = findFreeform(REPLAYGAIN_FIELDS[i]);
        std::vector<uint8_t> content = item.meanName;
        if (item.pos < 0) {
            std::string name = REPLAYGAIN_FIELDS[i];
            for (char& c : name)
                c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            std::vector<uint8_t> mean = {0, 0, 0, 0};
            mean.insert(mean.end(), FREEFORM_MEAN, FREEFORM_MEAN + std::strlen(FREEFORM_MEAN));
            appendatom(content, fourcc("mean"), mean.data(), mean.size());
            std::vector<uint8_t> named = {0, 0, 0, 0};
            named.insert(named.end(), name.begin(), name.end());
            appendatom(content, fourcc("name"), named.data(), named.size());
        }
        const std::string text = replaygainfieldtext(i, *value);
        std::vector<uint8_t> data(8, 0);
        putbe32(data.data(), TYPE_TEXT);
        data.insert(data.end(), text.begin(), text.end());
        appendatom(content, fourcc("data"), data.data(), data.size());
        if (item.pos < 0)
            insertAtom(ilst, ITEM_FREEFORM, content.data(), uint32_t(content.size()));
        else
            replaceAtom(ilst, item.pos, content.data(), uint32_t(content.size()));
    }
}

} // namespace ovra
