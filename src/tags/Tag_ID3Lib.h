// ID3v1/ID3v2.3 tags of ".mp3" files through id3lib: the first choice for
// MP3 files. It refuses ID3v2.4 tags (TagLib takes those) and cannot set
// title, artist, composer, album or genre. id3lib never writes the file (its
// own update unlinks the track and renames a copy into its place): it only
// reads. Our frames (TBPM, RVAD, COMM, GEOB) are made from its values and
// spliced into the tag as it is on disk, in its version, at update() or
// close(). Destruction writes nothing.
#pragma once
#include "tags/FileTransaction.h"
#include "tags/ID3v2Layout.h"
#include "tags/Tag.h"
#include "tags/TouchedFrames.h"

#include <string>
#include <vector>

#include <cstddef>
#include <memory>

class ID3_Tag;
class ID3_Frame;

namespace ovra {

class Tag_ID3Lib : public Tag {
public:
    Tag_ID3Lib();
    Tag_ID3Lib(const char* path, bool readOnly);
    ~Tag_ID3Lib() override;

    void open(const char* path, bool readOnly) override;
    void close() override;
    void update() override;

    void getTitle(char* buffer, int size) override;
    void getArtist(char* buffer, int size) override;
    void getComposer(char* buffer, int size) override;
    void getAlbum(char* buffer, int size) override;
    void getGenre(char* buffer, int size) override;
    void getComment(char* buffer, int size) override;
    int getBPM() override;
    int getRVA() override;
    void getData(const char* owner, uint32_t code, void* buffer, int size) override;

    void setComment(const char* text) override;
    void setBPM(int bpm) override;
    void setRVA(int rva) override;
    void setData(const char* owner, uint32_t code, const void* data, int size) override;
    ReplayGain getReplayGain() override;
    void setReplayGain(const ReplayGain& values) override;

    const char* implementation() override { return "ID3Lib"; }
    uint32_t kind() override { return TAG_KIND_ID3LIB; }

    // The 10-byte RVAD body for an RVA value, and the value of one; a body
    // in another form throws 20603.
    static constexpr size_t RVAD_SIZE = 10;
    static void encodeRVAD(int rva, uint8_t bytes[RVAD_SIZE]);
    static int decodeRVAD(const uint8_t* bytes, size_t size);

private:
    ID3_Tag& linkedtag();
    void readText(const ID3_Frame& frame, char* buffer, int size);
    void getFrameText(int id, char* buffer, int size);

    const ID3v2Frame* ondisk(const char* id, const char* description);
    const std::vector<ID3v2Frame>& ondiskframes();

    std::unique_ptr<ID3_Tag> tag;
    bool linked = false;
    FileTransaction transaction;
    int version = 0; // of the ID3v2 tag on disk; 0 without one
    TouchedFrames touched;
    bool scanned = false;
    std::vector<ID3v2Frame> raw; // the tag on disk, when id3lib's parse falls short
    ReplayGain stagedGain;       // written as TXXX frames at the update
};

} // namespace ovra
