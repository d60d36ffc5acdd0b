// ID3v2 tags of ".mp3" files through TagLib: the fallback for files that the
// id3lib tag refuses, notably those with an ID3v2.4 tag. TagLib reads through
// a staged file and renders only our frames; they are spliced into the tag
// as it is on disk at update() or close(). Destruction writes nothing.
#pragma once
#include "tags/FileTransaction.h"
#include "tags/Tag.h"
#include "tags/TouchedFrames.h"

#include <memory>
#include <string>
#include <vector>

namespace TagLib {
class IOStream;
namespace MPEG {
class File;
}
namespace ID3v2 {
class Tag;
class Frame;
} // namespace ID3v2
} // namespace TagLib

namespace ovra {

class Tag_TagLib : public Tag {
public:
    Tag_TagLib() = default;
    Tag_TagLib(const char* path, bool readOnly);
    ~Tag_TagLib() override;

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

    void setTitle(const char* text) override;
    void setArtist(const char* text) override;
    void setComposer(const char* text) override;
    void setAlbum(const char* text) override;
    void setGenre(const char* text) override;
    void setComment(const char* text) override;
    void setBPM(int bpm) override;
    void setRVA(int rva) override;
    void setData(const char* owner, uint32_t code, const void* data, int size) override;
    ReplayGain getReplayGain() override;
    void setReplayGain(const ReplayGain& values) override;

    const char* implementation() override { return "TagLib"; }
    uint32_t kind() override { return TAG_KIND_TAGLIB; }

private:
    TagLib::ID3v2::Tag& opened();
    void getFrameText(const char* id, char* buffer, int size);
    void setFrameText(const char* id, const char* text, bool unicode);
    void release();

    FileTransaction transaction;
    FileTransaction view; // what TagLib reads, when the file needs mending for it
    std::unique_ptr<TagLib::IOStream> stream;
    std::unique_ptr<TagLib::MPEG::File> file;
    TagLib::ID3v2::Tag* tag = nullptr;
    int version = 0; // of the tag on disk
    TouchedFrames touched;
    ReplayGain stagedGain; // written as TXXX frames at the update
};

} // namespace ovra
