// Vorbis comments of FLAC, Ogg Vorbis and Ogg Opus files, chosen by the
// file's content. The tempo is the "BPM" field that other programs read;
// the data record is Base64 text in a field of our own, "TEMPIX_ANALYSIS".
// These formats have no relative-volume field of ours: getRVA and setRVA
// report 20601, as for MP4, and the volume goes to the library instead.
//
// Every other field keeps its place, the case of its name and its
// duplicates; so do the vendor string, pictures, cue sheets and every
// other block or page. Writes go through a FileTransaction and are checked
// before they are committed; destruction writes nothing.
#pragma once
#include "tags/FileTransaction.h"
#include "tags/FlacMetadata.h"
#include "tags/OggStream.h"
#include "tags/Tag.h"
#include "tags/VorbisComment.h"

namespace ovra {

// The field that holds the data record.
constexpr const char* XIPH_TRACKDATA_FIELD = "TEMPIX_ANALYSIS";

class Tag_Xiph : public Tag {
public:
    Tag_Xiph() = default;
    Tag_Xiph(const char* path, bool readOnly);
    ~Tag_Xiph() override = default;

    void open(const char* path, bool readOnly) override;
    void close() override;
    void update() override;

    void getTitle(char* buffer, int size) override { getField("TITLE", buffer, size); }
    void getArtist(char* buffer, int size) override { getField("ARTIST", buffer, size); }
    void getComposer(char* buffer, int size) override { getField("COMPOSER", buffer, size); }
    void getAlbum(char* buffer, int size) override { getField("ALBUM", buffer, size); }
    void getGenre(char* buffer, int size) override { getField("GENRE", buffer, size); }
    void getComment(char* buffer, int size) override { getField("COMMENT", buffer, size); }
    int getBPM() override;
    void getData(const char* owner, uint32_t code, void* buffer, int size) override;

    void setBPM(int bpm) override;
    void setData(const char* owner, uint32_t code, const void* data, int size) override;
    ReplayGain getReplayGain() override;
    void setReplayGain(const ReplayGain& values) override;

    const char* implementation() override { return "Xiph"; }
    uint32_t kind() override { return TAG_KIND_XIPH; }

private:
    enum class Format { none, flac, ogg };
    const VorbisComment& opened() const;
    bool isopus() const { return format == Format::ogg && ogg.codec() == OggStream::Codec::opus; }
    void getField(const char* name, char* buffer, int size) const;

    FileTransaction transaction;
    Format format = Format::none;
    FlacMetadata flac;
    OggStream ogg;
    VorbisComment comment;
    bool dirty = false;
};

} // namespace ovra
