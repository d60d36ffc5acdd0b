// One tag interface over the three implementations (TagLib, id3lib, MP4 atoms).
// Every operation reports failure by throwing a plain int code.
#pragma once
#include "platform/ErrorCodes.h"
#include "platform/FourCharCode.h"
#include "tags/ReplayGain.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace ovra {

constexpr uint32_t TAG_KIND_ATOM = fourcc("ATOM");
constexpr uint32_t TAG_KIND_TAGLIB = fourcc("TagL");
constexpr uint32_t TAG_KIND_ID3LIB = fourcc("ID3L");

// The owner name and code under which the program keeps its data record.
constexpr const char* TRACKDATA_OWNER = "com.quillfen.tempix.trackdata";
constexpr uint32_t TRACKDATA_CODE = fourcc("Tpix");

class Tag {
public:
    Tag() = default;
    Tag(const Tag&) = delete;
    Tag& operator=(const Tag&) = delete;
    virtual ~Tag() = default;

    // Opening a tag that already has a file closes that one first.
    virtual void open(const char* path, bool readOnly) = 0;
    // Writes pending changes and releases the file.
    virtual void close() = 0;
    // Writes pending changes, all of them or (on a failure, thrown) none.
    // Setters only stage changes; destroying a tag without close() writes
    // nothing, so a track that ends early keeps its file as it was.
    virtual void update() = 0;

    // Text getters write UTF-8, at most size - 1 bytes, always terminated.
    virtual void getTitle(char* buffer, int size);
    virtual void getArtist(char* buffer, int size);
    virtual void getComposer(char* buffer, int size);
    virtual void getAlbum(char* buffer, int size);
    virtual void getGenre(char* buffer, int size);
    virtual void getComment(char* buffer, int size);
    virtual int getBPM();
    virtual int getRVA();
    // Fills at most size bytes; the rest of the buffer is left as it was.
    virtual void getData(const char* owner, uint32_t code, void* buffer, int size);

    virtual void setTitle(const char* text);
    virtual void setArtist(const char* text);
    virtual void setComposer(const char* text);
    virtual void setAlbum(const char* text);
    virtual void setGenre(const char* text);
    virtual void setComment(const char* text);
    virtual void setBPM(int bpm);
    virtual void setRVA(int rva);
    virtual void setData(const char* owner, uint32_t code, const void* data, int size);

    // The ReplayGain values in the file, whoever wrote them: TXXX frames
    // (MP3), freeform com.apple.iTunes items (M4A), Vorbis comment fields
    // (FLAC, Vorbis), R128 gains (Opus: no peaks). A value whose text is
    // not a number reads as absent. Field names match in any case.
    virtual ReplayGain getReplayGain();
    // Stages the values that are present, each in the field of that name
    // already there (its name kept as written) or a new one; absent values
    // leave their fields as they are. Opus takes the gains only (its peaks
    // are ignored) and its header's output gain is never touched.
    virtual void setReplayGain(const ReplayGain& values);

    // Prints the diagnostic dump; a null stream means standard output.
    virtual void dump(FILE* stream);
    virtual const char* implementation() = 0;
    virtual uint32_t kind() = 0;

protected:
    // What close() does: writes the pending changes, then lets go of the
    // file through release, also when the write fails (the failure goes on).
    template <typename Release>
    void updatethenrelease(Release release)
    {
        try {
            update();
        } catch (...) {
            release();
            throw;
        }
        release();
    }
};

// Opens the tag of a file, choosing the implementation by its extension:
// ".mp3" through id3lib, falling back to TagLib, ".m4a" through the MP4
// atom editor, ".flac", ".ogg", ".oga" and ".opus" through the Vorbis
// comment tag (FLAC, Vorbis or Opus by content), anything else 20603.
std::unique_ptr<Tag> openTag(const char* path, bool readOnly);
// Whether the suffix (from the last '.') is one of the Xiph formats', and
// whether a path's suffix is one openTag handles; ASCII case ignored.
bool isxiphsuffix(const char* suffix);
bool istagfile(const char* path);

// Whether a kind of tag has no relative volume of ours, so that the volume
// goes to the library instead (MP4, and FLAC, Vorbis and Opus).
constexpr uint32_t TAG_KIND_XIPH = fourcc("Xiph");
constexpr bool volumeinlibrary(uint32_t kind) { return kind == TAG_KIND_ATOM || kind == TAG_KIND_XIPH; }

// Why a tag write was refused to keep the file whole, in words, for the
// codes that mean that; null for any other code.
const char* tagwriterefusal(int code);

// The ID3v1 genre list with the Winamp extensions (148 names).
constexpr int GENRE_COUNT = 148;
extern const char* const genreNames[GENRE_COUNT];

} // namespace ovra
