// Vorbis comments in FLAC metadata blocks and Ogg header packets.
#include "tags/Tag_Xiph.h"
#include "tags/Base64.h"
#include "platform/tools_strings.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ovra {

namespace {
// Vendor string of a comment block made where a FLAC file has none.
constexpr const char* OWN_VENDOR = "Tempix";
} // namespace

Tag_Xiph::Tag_Xiph(const char* path, bool readOnly) { open(path, readOnly); }

void Tag_Xiph::open(const char* path, bool)
{
    if (format != Format::none)
        close();
    try {
        transaction.open(path);
        uint8_t magic[4] = {};
        transaction.read(0, magic, sizeof magic);
        if (std::memcmp(magic, "OggS", 4) == 0) {
            ogg.read(transaction);
            comment = VorbisComment::parse(ogg.comment().data(), ogg.comment().size(), ogg.commentprefix());
            format = Format::ogg;
        } else {
            flac.read(transaction);
            const std::vector<uint8_t> body = flac.comment(transaction);
            comment =
                flac.hascomment() ? VorbisComment::parse(body.data(), body.size()) : VorbisComment::empty(OWN_VENDOR);
            format = Format::flac;
        }
    } catch (int) {
        // Not there, not a regular file, not FLAC, Vorbis or Opus, or broken.
        transaction.close();
        format = Format::none;
        throw TAG_ERR_UNUSABLE;
    }
    dirty = false;
}

void Tag_Xiph::update()
{
    if (format == Format::none || !dirty)
        return;
    try {
        const std::vector<uint8_t> rendered = comment.render();
        if (format == Format::ogg)
            ogg.rewrite(transaction, rendered);
        else
            flac.rewrite(transaction, rendered);
        transaction.commit();
    } catch (...) {
        transaction.discard();
        throw;
    }
    dirty = false;
    // What is on disk now is what a further update starts from.
    try {
        if (format == Format::ogg)
            ogg.read(transaction);
        else
            flac.read(transaction);
    } catch (int) {
        transaction.close(); // written, but not to be written again through this object
        format = Format::none;
    }
}

void Tag_Xiph::close()
{
    if (format == Format::none)
        return;
    updatethenrelease([this] {
        transaction.close();
        format = Format::none;
        dirty = false;
    });
}

const VorbisComment& Tag_Xiph::opened() const
{
    if (format == Format::none)
        throw TAG_ERR_UNUSABLE;
    return comment;
}

void Tag_Xiph::getField(const char* name, char* buffer, int size) const
{
    const std::string* value = opened().find(name);
    if (value == nullptr)
        throw TAG_ERR_NOT_FOUND;
    if (size > 0)
        strcpy_max(buffer, size_t(size), value->c_str());
}

int Tag_Xiph::getBPM()
{
    const std::string* value = opened().find("BPM");
    if (value == nullptr)
        throw TAG_ERR_NOT_FOUND;
    // Leading digits, as other programs write "128" or "128.5".
    const long bpm = std::strtol(value->c_str(), nullptr, 10);
    return int(std::clamp<long>(bpm, INT_MIN, INT_MAX));
}

void Tag_Xiph::setBPM(int bpm)
{
    opened();
    char text[12];
    std::snprintf(text, sizeof text, "%d", bpm);
    comment.set("BPM", text);
    dirty = true;
}

void Tag_Xiph::getData(const char*, uint32_t, void* buffer, int size)
{
    const std::string* value = opened().find(XIPH_TRACKDATA_FIELD);
    if (value == nullptr)
        throw TAG_ERR_NOT_FOUND;
    if (size > 0)
        base64decode(value->c_str(), buffer, size_t(size));
}

void Tag_Xiph::setData(const char*, uint32_t, const void* data, int size)
{
    opened();
    comment.set(XIPH_TRACKDATA_FIELD, base64encode(data, size_t(size > 0 ? size : 0)));
    dirty = true;
}

ReplayGain Tag_Xiph::getReplayGain()
{
    const VorbisComment& fields = opened();
    ReplayGain values;
    if (isopus()) {
        // RFC 7845: only the R128 gains; REPLAYGAIN_* fields do not belong here.
        for (const auto& [name, value] :
             {std::pair{R128_TRACK_FIELD, &values.trackGain}, std::pair{R128_ALBUM_FIELD, &values.albumGain}}) {
            const std::string* text = fields.find(name);
            if (text == nullptr)
                continue;
            if (const std::optional<int> q = parser128(*text))
                *value = r128toreplaygain(*q);
        }
        return values;
    }
    for (int i = 0; i < 4; ++i) {
        const std::string* text = fields.find(REPLAYGAIN_FIELDS[i]);
        if (text != nullptr)
            replaygainvalue(values, i) = parsereplaygain(*text);
    }
    return values;
}

void Tag_Xiph::setReplayGain(const ReplayGain& values)
{
    opened();
    if (isopus()) {
        if (values.trackGain)
            comment.set(R128_TRACK_FIELD, std::to_string(r128gain(*values.trackGain)));
        if (values.albumGain)
            comment.set(R128_ALBUM_FIELD, std::to_string(r128gain(*values.albumGain)));
        dirty = dirty || values.trackGain || values.albumGain;
        return;
    }
    for (int i = 0; i < 4; ++i) {
        if (const std::optional<double>& value = replaygainvalue(values, i)) {
            comment.set(REPLAYGAIN_FIELDS[i], replaygainfieldtext(i, *value));
            dirty = true;
        }
    }
}

} // namespace ovra
