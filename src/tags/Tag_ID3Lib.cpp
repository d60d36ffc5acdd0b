// ID3 frames through id3lib: TBPM, RVAD, COMM and GEOB written as ID3v2.3.
#include "tags/Tag_ID3Lib.h"
#include "tags/ID3v2Layout.h"
#include "tags/Base64.h"
#include "platform/tools_strings.h"

#include <id3/tag.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace ovra {

namespace {
constexpr size_t TEXT_WORK = 4096;

// id3lib promises nothing about threads: every use of it, by any tag on any
// thread, is under this one lock.
std::recursive_mutex& id3libmutex()
{
    static std::recursive_mutex m;
    return m;
}
using Id3lib_auto = std::lock_guard<std::recursive_mutex>;

// Appends the UTF-8 form of a code point while it fits in size - 1 bytes;
// a sequence that does not fit is cut. Returns false once the buffer is full.
bool pututf8(uint32_t cp, char* buffer, size_t size, size_t& used)
{
    char seq[4];
    size_t n = encodeutf8(cp, seq);
    for (size_t k = 0; k < n; ++k) {
        if (used + 1 >= size)
            return false;
        buffer[used++] = seq[k];
    }
    return true;
}

void cuttrailingblanks(char* text)
{
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = 0;
}

ID3_Field& field(ID3_Frame& frame, ID3_FieldID id)
{
    ID3_Field* f = frame.GetField(id);
    if (f == nullptr)
        throw TAG_ERR_UNUSABLE;
    return *f;
}

// The encoding of our texts: ISO 8859-1 when every character has a byte
// there, UTF-16 otherwise.
bool fitslatin1(const std::vector<uint32_t>& cps)
{
    return std::all_of(cps.begin(), cps.end(), [](uint32_t cp) { return cp <= 0xFF; });
}

// Sets the text fields of a frame from UTF-8 and makes the frame's encoding
// agree with them. Setting bytes without looking at the frame's encoding
// would leave, say, ASCII digits in a frame marked UTF-16, which every
// reader then shows as garbage.
void setframetext(ID3_Frame& frame, std::initializer_list<std::pair<ID3_FieldID, const char*>> texts)
{
    bool latin1 = true;
    std::vector<std::vector<uint32_t>> points;
    for (const auto& [id, utf8] : texts) {
        points.push_back(decodeutf8(utf8));
        latin1 = latin1 && fitslatin1(points.back());
    }
    const ID3_TextEnc encoding = latin1 ? ID3TE_ISO8859_1 : ID3TE_UTF16;
    field(frame, ID3FN_TEXTENC).Set(uint32(encoding));
    size_t i = 0;
    for (const auto& [id, utf8] : texts) {
        (void)utf8;
        ID3_Field& f = field(frame, id);
        f.SetEncoding(encoding);
        const std::vector<uint32_t>& cps = points[i++];
        if (latin1) {
            std::string bytes(cps.begin(), cps.end());
            f.Set(bytes.c_str());
        } else {
            // id3lib keeps UTF-16 as big-endian byte pairs.
            std::vector<uint16_t> utf16;
            for (uint32_t cp : cps)
                appendutf16(cp, utf16);
            std::vector<unicode_t> units;
            for (uint16_t unit : utf16) {
                uint8_t be[2] = {uint8_t(unit >> 8), uint8_t(unit)};
                unicode_t u;
                std::memcpy(&u, be, 2);
                units.push_back(u);
            }
            units.push_back(0);
            f.Set(units.data());
        }
    }
}

// The frame of that id, or a new one attached to the tag (which owns it).
ID3_Frame& findorattach(ID3_Tag& tag, ID3_FrameID id, ID3_Frame* found)
{
    if (found != nullptr)
        return *found;
    auto* frame = new ID3_Frame(id);
    tag.AttachFrame(frame);
    return *frame;
}

// id3lib crashes on some damaged tags (a compressed frame whose sizes lie
// takes it down), so it only gets ID3v2.2 and 2.3 tags whose every byte our
// own parse accounts for and that use none of the features it mishandles:
// unsynchronisation, compression, encryption.
bool id3libcanread(const FileTransaction& file)
{
    try {
        const ID3v2Layout layout = ID3v2Layout::read(file, true);
        if ((layout.version != 2 && layout.version != 3) || (layout.flags & 0x80) != 0)
            return false;
        return std::none_of(layout.frames.begin(), layout.frames.end(),
                            [](const ID3v2Frame& f) { return (f.flags & 0x00C0) != 0; });
    } catch (int) {
        return false;
    }
}
} // namespace

Tag_ID3Lib::Tag_ID3Lib()
{
    Id3lib_auto lock(id3libmutex());
    tag = std::make_unique<ID3_Tag>();
}

Tag_ID3Lib::Tag_ID3Lib(const char* path, bool readOnly)
{
    Id3lib_auto lock(id3libmutex());
    tag = std::make_unique<ID3_Tag>();
    open(path, readOnly);
}

Tag_ID3Lib::~Tag_ID3Lib()
{
    Id3lib_auto lock(id3libmutex());
    // Nothing staged and not closed is written.
    linked = false;
    transaction.close();
    tag.reset();
}

void Tag_ID3Lib::open(const char* path, bool)
{
    Id3lib_auto lock(id3libmutex());
    if (linked)
        close();

    // Only a regular file is read (a FIFO under a track's name would hang).
    transaction.open(path, TAG_ERR_NOT_FOUND); // not there, not readable, not a regular file
    // id3lib would read an ID3v2.4 tag as 2.3 and lose what it does not
    // know; those files go to TagLib. So do tags whose layout id3lib cannot
    // be trusted with.
    try {
        FILE* probe = std::fopen(path, "rb");
        if (probe == nullptr)
            throw TAG_ERR_NOT_FOUND;
        unsigned char head[4];
        size_t got = std::fread(head, sizeof head, 1, probe);
        int verdict = 0;
        if (got != 1)
            verdict = TAG_ERR_NOT_FOUND;
        else if (std::memcmp(head, "ID3", 3) == 0 && int8_t(head[3]) >= 4)
            verdict = TAG_ERR_UNUSABLE;
        else if (std::memcmp(head, "ID3", 3) == 0 && !id3libcanread(transaction))
            verdict = TAG_ERR_UNUSABLE;
        std::fclose(probe);
        if (verdict != 0)
            throw verdict;
        version = std::memcmp(head, "ID3", 3) == 0 ? head[3] : 0;
    } catch (...) {
        transaction.close();
        throw;
    }

    try {
        tag->Clear();
        tag->Link(path, flags_t(ID3TT_ID3V2));
        if (!tag->HasTagType(ID3TT_ID3V2))
            tag->Link(path, flags_t(ID3TT_ID3V1));
    } catch (const std::bad_alloc& e) {
        std::string message =
            std::string("Exception caught while calling ID3_Tag::Link() on ") + path + ": " + e.what() + "\n";
        std::fputs(message.c_str(), stderr);
        transaction.close();
        throw TAG_ERR_UNUSABLE;
    }

    linked = true;
    scanned = false;
    touched.clear();
}

namespace {
// Text of one of our frames, UTF-16 with a byte-order mark when not
// ISO 8859-1. Returns the encoding byte.
uint8_t encodetext(const char* utf8, std::vector<uint8_t>& out, bool terminate)
{
    const std::vector<uint32_t> cps = decodeutf8(utf8);
    if (fitslatin1(cps)) {
        out.insert(out.end(), cps.begin(), cps.end());
        if (terminate)
            out.push_back(0);
        return 0;
    }
    std::vector<uint16_t> units = {0xFEFF};
    for (uint32_t cp : cps)
        appendutf16(cp, units);
    if (terminate)
        units.push_back(0);
    for (uint16_t u : units) {
        out.push_back(uint8_t(u));
        out.push_back(uint8_t(u >> 8));
    }
    return 1;
}

} // namespace

void Tag_ID3Lib::update()
{
    Id3lib_auto lock(id3libmutex());
    if (!linked || (!touched.any() && stagedGain.empty()))
        return;
    // id3lib only reads. Our four frames have a fixed form and are made
    // here from what id3lib holds: id3lib's own rendering copies the whole
    // tag, and its frame copy frees memory with the wrong size.
    try {
        const int v = version == 0 ? 3 : version; // a new tag is ID3v2.3
        std::vector<OwnFrame> ours;
        for (const std::string& key : touched) {
            OwnFrame own;
            std::vector<uint8_t> body;
            char text[TEXT_WORK];
            if (key == "TBPM") {
                const ID3_Frame* frame = tag->Find(ID3FID_BPM);
                if (frame == nullptr)
                    throw TAG_ERR_LAYOUT;
                readText(*frame, text, sizeof text);
                body.push_back(0);
                body[0] = encodetext(text, body, false);
                own.raw = id3frame(v == 2 ? "TBP" : "TBPM", v, body);
            } else if (key == "RVAD") {
                const ID3_Frame* frame = tag->Find(ID3FID_VOLUMEADJ);
                ID3_Field* data = frame != nullptr ? frame->GetField(ID3FN_DATA) : nullptr;
                if (data == nullptr || data->GetRawBinary() == nullptr)
                    throw TAG_ERR_LAYOUT;
                body.assign(data->GetRawBinary(), data->GetRawBinary() + data->Size());
                own.raw = id3frame(v == 2 ? "RVA" : "RVAD", v, body);
            } else if (key == "COMM:") {
                const ID3_Frame* frame = tag->Find(ID3FID_COMMENT, ID3FN_DESCRIPTION, "");
                if (frame == nullptr)
                    throw TAG_ERR_LAYOUT;
                readText(*frame, text, sizeof text);
                // Encoding, language, empty description, text.
                std::vector<uint8_t> words;
                const uint8_t encoding = encodetext(text, words, false);
                body = {encoding, 'e', 'n', 'g'};
                if (encoding == 1)
                    body.insert(body.end(), {0xFF, 0xFE, 0, 0});
                else
                    body.push_back(0);
                body.insert(body.end(), words.begin(), words.end());
                own.match = OwnFrame::Match::commentDescribed;
                own.raw = id3frame(v == 2 ? "COM" : "COMM", v, body);
            } else {
                own.description = key.substr(5);
                const ID3_Frame* frame = tag->Find(ID3FID_GENERALOBJECT, ID3FN_DESCRIPTION, own.description.c_str());
                ID3_Field* data = frame != nullptr ? frame->GetField(ID3FN_DATA) : nullptr;
                if (data == nullptr)
                    throw TAG_ERR_LAYOUT;
                // ISO 8859-1, no MIME type, no file name, the owner, the record.
                body = {0, 0, 0};
                body.insert(body.end(), own.description.begin(), own.description.end());
                body.push_back(0);
                if (data->GetRawBinary() != nullptr)
                    body.insert(body.end(), data->GetRawBinary(), data->GetRawBinary() + data->Size());
                own.match = OwnFrame::Match::objectDescribed;
                own.raw = id3frame(v == 2 ? "GEO" : "GEOB", v, body);
            }
            own.id.assign(reinterpret_cast<const char*>(own.raw.data()), v == 2 ? 3 : 4);
            const bool record = own.match == OwnFrame::Match::objectDescribed;
            const std::string owner = own.description;
            ours.push_back(std::move(own));
            // One record only: a comment one (TagLib's, before the tag was
            // converted) or a second object goes.
            if (record)
                for (OwnFrame& extra : id3extrarecords(ondiskframes(), owner, "GEOB"))
                    ours.push_back(std::move(extra));
        }
        for (OwnFrame& gain : id3replaygainframes(stagedGain, v, ondiskframes()))
            ours.push_back(std::move(gain));
        spliceid3v2(transaction, ours, 3);
        transaction.commit();
    } catch (...) {
        transaction.discard();
        throw;
    }
    scanned = false;
    touched.clear();
    stagedGain = ReplayGain();
    version = version == 0 ? 3 : version;
}

void Tag_ID3Lib::close()
{
    Id3lib_auto lock(id3libmutex());
    if (!linked)
        return;
    updatethenrelease([this] {
        linked = false;
        touched.clear();
        stagedGain = ReplayGain();
        transaction.close();
    });
}

// id3lib stops at a frame it does not know (iTunes' TCP in ID3v2.2) and
// loses the rest of the tag; what it did not see of our own frames is
// looked up in the tag on disk: the first frame of that id, or the object
// with that description.
const std::vector<ID3v2Frame>& Tag_ID3Lib::ondiskframes()
{
    if (!scanned) {
        scanned = true;
        try {
            raw = ID3v2Layout::read(transaction, true).frames;
        } catch (int) {
            raw.clear();
        }
    }
    return raw;
}

const ID3v2Frame* Tag_ID3Lib::ondisk(const char* id, const char* description)
{
    ondiskframes();
    const bool v22 = !raw.empty() && raw.front().version == 2;
    const std::string wanted = v22 ? std::string(id).substr(0, 3) : id;
    for (const ID3v2Frame& frame : raw) {
        std::string text;
        if (frame.id == wanted && (*description == 0 || (id3description(frame, text) && text == description)))
            return &frame;
    }
    return nullptr;
}

ID3_Tag& Tag_ID3Lib::linkedtag()
{
    if (!linked)
        throw TAG_ERR_UNUSABLE;
    return *tag;
}

void Tag_ID3Lib::readText(const ID3_Frame& frame, char* buffer, int size)
{
    ID3_Field* encoding = frame.GetField(ID3FN_TEXTENC);
    if (encoding == nullptr)
        throw TAG_ERR_UNUSABLE;
    ID3_Field* text = frame.GetField(ID3FN_TEXT);
    if (text == nullptr)
        throw TAG_ERR_UNUSABLE;
    if (size < 1)
        return;

    if (encoding->Get() != 0 && ID3TE_IS_DOUBLE_BYTE_ENC(text->GetEncoding())) {
        // UTF-16 code units as big-endian byte pairs; surrogate pairs joined.
        // The units are copied from the field's own text: id3lib's copying
        // getter takes the byte count for a unit count and reads past it.
        uint8_t work[TEXT_WORK + 2] = {};
        const unicode_t* raw = text->GetRawUnicodeText();
        size_t bytes = raw != nullptr ? std::min(text->Size() & ~size_t(1), TEXT_WORK) : 0;
        if (bytes > 0)
            std::memcpy(work, raw, bytes);
        size_t used = 0;
        for (size_t i = 0; i + 1 < TEXT_WORK; i += 2) {
            uint32_t unit = (uint32_t(work[i]) << 8) | work[i + 1];
            if (unit == 0)
                break;
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < TEXT_WORK) {
                uint32_t low = (uint32_t(work[i + 2]) << 8) | work[i + 3];
                if (low >= 0xDC00 && low < 0xE000) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            if (!pututf8(unit, buffer, size_t(size), used))
                break;
        }
        buffer[used] = 0;
    } else {
        char work[TEXT_WORK + 1] = {};
        text->Get(work, TEXT_WORK);
        latin1toutf8(work, TEXT_WORK, buffer, size_t(size));
    }
}

void Tag_ID3Lib::getFrameText(int id, char* buffer, int size)
{
    Id3lib_auto lock(id3libmutex());
    const ID3_Frame* frame = linkedtag().Find(ID3_FrameID(id));
    if (frame == nullptr)
        throw TAG_ERR_NOT_FOUND;
    readText(*frame, buffer, size);
    if (size >= 1)
        cuttrailingblanks(buffer);
}

void Tag_ID3Lib::getTitle(char* buffer, int size) { getFrameText(ID3FID_TITLE, buffer, size); }
void Tag_ID3Lib::getArtist(char* buffer, int size) { getFrameText(ID3FID_LEADARTIST, buffer, size); }
void Tag_ID3Lib::getComposer(char* buffer, int size) { getFrameText(ID3FID_COMPOSER, buffer, size); }
void Tag_ID3Lib::getAlbum(char* buffer, int size) { getFrameText(ID3FID_ALBUM, buffer, size); }

void Tag_ID3Lib::getGenre(char* buffer, int size)
{
    Id3lib_auto lock(id3libmutex());
    getFrameText(ID3FID_CONTENTTYPE, buffer, size);
    if (size < 1)
        return;
    unsigned n = 0;
    if (std::sscanf(buffer, "(%u", &n) == 1 && n < unsigned(GENRE_COUNT))
        strcpy_max(buffer, size_t(size), genreNames[n]);
}

void Tag_ID3Lib::getComment(char* buffer, int size)
{
    Id3lib_auto lock(id3libmutex());
    const ID3_Frame* frame = linkedtag().Find(ID3FID_COMMENT, ID3FN_DESCRIPTION, "");
    if (frame == nullptr)
        throw TAG_ERR_NOT_FOUND;
    readText(*frame, buffer, size);
    if (size >= 1)
        cuttrailingblanks(buffer);
}

void Tag_ID3Lib::setComment(const char* text)
{
    Id3lib_auto lock(id3libmutex());
    ID3_Tag& t = linkedtag();
    ID3_Frame& frame = findorattach(t, ID3FID_COMMENT, t.Find(ID3FID_COMMENT, ID3FN_DESCRIPTION, ""));
    field(frame, ID3FN_LANGUAGE).Set("eng");
    setframetext(frame, {{ID3FN_DESCRIPTION, ""}, {ID3FN_TEXT, text}});
    touched.touch("COMM:");
}

int Tag_ID3Lib::getBPM()
{
    Id3lib_auto lock(id3libmutex());
    const ID3_Frame* frame = linkedtag().Find(ID3FID_BPM);
    char text[20];
    if (frame != nullptr) {
        readText(*frame, text, sizeof text);
    } else {
        const ID3v2Frame* raw = ondisk("TBPM", "");
        if (raw == nullptr || raw->bodySize() < 1 || raw->body()[0] != 0)
            throw TAG_ERR_NOT_FOUND;
        strcpy_max(text, sizeof text, reinterpret_cast<const char*>(raw->body() + 1), raw->bodySize() - 1);
    }
    int bpm = 0;
    if (std::sscanf(text, "%d", &bpm) != 1)
        throw TAG_ERR_UNUSABLE;
    return bpm;
}

void Tag_ID3Lib::setBPM(int bpm)
{
    Id3lib_auto lock(id3libmutex());
    ID3_Tag& t = linkedtag();
    ID3_Frame& frame = findorattach(t, ID3FID_BPM, t.Find(ID3FID_BPM));
    char text[16];
    std::snprintf(text, sizeof text, "%d", bpm);
    setframetext(frame, {{ID3FN_TEXT, text}});
    touched.touch("TBPM");
}

void Tag_ID3Lib::encodeRVAD(int rva, uint8_t bytes[RVAD_SIZE])
{
    uint32_t magnitude = uint32_t(rva < 0 ? -int64_t(rva) : int64_t(rva)) & 0xFFFF;
    bytes[0] = rva > 0 ? 3 : 0; // bit 0 right, bit 1 left: both increase
    bytes[1] = 16;              // bits per volume value
    bytes[2] = bytes[4] = uint8_t(magnitude >> 8);
    bytes[3] = bytes[5] = uint8_t(magnitude);
    bytes[6] = bytes[7] = bytes[8] = bytes[9] = 0; // no peak values
}

int Tag_ID3Lib::decodeRVAD(const uint8_t* b, size_t size)
{
    if (size < RVAD_SIZE || (b[0] != 0 && b[0] != 3) || b[1] != 16 || b[2] != b[4] || b[3] != b[5] || b[6] != 0 ||
        b[7] != 0 || b[8] != 0 || b[9] != 0)
        throw TAG_ERR_UNUSABLE;
    int value = (b[2] << 8) | b[3];
    return (b[0] & 1) != 0 ? value : -value;
}

int Tag_ID3Lib::getRVA()
{
    Id3lib_auto lock(id3libmutex());
    const ID3_Frame* frame = linkedtag().Find(ID3FID_VOLUMEADJ);
    if (frame == nullptr)
        throw TAG_ERR_NOT_FOUND;
    ID3_Field* data = frame->GetField(ID3FN_DATA);
    if (data == nullptr)
        throw TAG_ERR_UNUSABLE;
    const uint8_t* bytes = data->GetRawBinary();
    if (bytes == nullptr)
        throw TAG_ERR_UNUSABLE;
    return decodeRVAD(bytes, data->Size());
}

void Tag_ID3Lib::setRVA(int rva)
{
    Id3lib_auto lock(id3libmutex());
    ID3_Tag& t = linkedtag();
    ID3_Frame& frame = findorattach(t, ID3FID_VOLUMEADJ, t.Find(ID3FID_VOLUMEADJ));
    uint8_t bytes[RVAD_SIZE];
    encodeRVAD(rva, bytes);
    field(frame, ID3FN_DATA).Set(bytes, sizeof bytes);
    touched.touch("RVAD");
}

void Tag_ID3Lib::getData(const char* owner, uint32_t, void* buffer, int size)
{
    Id3lib_auto lock(id3libmutex());
    const ID3_Frame* frame = linkedtag().Find(ID3FID_GENERALOBJECT, ID3FN_DESCRIPTION, owner);
    if (frame == nullptr) {
        const ID3v2Frame* raw = ondisk("GEOB", owner);
        std::string description;
        size_t at = 0;
        if (raw == nullptr || !id3description(*raw, description, &at)) {
            // Base64 in a comment, as TagLib keeps it in an ID3v2.4 tag
            // that another program has since made ID3v2.3.
            const ID3v2Frame* comment = ondisk("COMM", owner);
            std::string text;
            if (comment == nullptr || !id3value(*comment, text))
                throw TAG_ERR_NOT_FOUND;
            if (size > 0)
                base64decode(text.c_str(), buffer, size_t(size));
            return;
        }
        size_t n = std::min(raw->bodySize() - at, size_t(size > 0 ? size : 0));
        if (n > 0)
            std::memcpy(buffer, raw->body() + at, n);
        return;
    }
    ID3_Field* data = frame->GetField(ID3FN_DATA);
    if (data == nullptr)
        throw TAG_ERR_UNUSABLE;
    const uint8_t* bytes = data->GetRawBinary();
    size_t n = std::min(data->Size(), size_t(size > 0 ? size : 0));
    if (n > 0 && bytes != nullptr)
        std::memcpy(buffer, bytes, n);
}

void Tag_ID3Lib::setData(const char* owner, uint32_t, const void* data, int size)
{
    Id3lib_auto lock(id3libmutex());
    ID3_Tag& t = linkedtag();
    ID3_Frame& frame = findorattach(t, ID3FID_GENERALOBJECT, t.Find(ID3FID_GENERALOBJECT, ID3FN_DESCRIPTION, owner));
    field(frame, ID3FN_DESCRIPTION).Set(owner);
    field(frame, ID3FN_MIMETYPE).Set("");
    field(frame, ID3FN_FILENAME).Set("");
    field(frame, ID3FN_DATA).Set(static_cast<const uchar*>(data), size_t(size > 0 ? size : 0));
    touched.touch(std::string("GEOB:") + owner);
}

ReplayGain Tag_ID3Lib::getReplayGain()
{
    Id3lib_auto lock(id3libmutex());
    linkedtag();
    return id3replaygain(ondiskframes());
}

void Tag_ID3Lib::setReplayGain(const ReplayGain& values)
{
    Id3lib_auto lock(id3libmutex());
    linkedtag();
    for (int i = 0; i < 4; ++i)
        if (const std::optional<double>& value = replaygainvalue(values, i))
            replaygainvalue(stagedGain, i) = value;
}

} // namespace ovra
