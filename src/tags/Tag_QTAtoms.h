// The iTunes-style metadata of ".m4a" files, edited in
// 'moov'/'udta'/'meta'/'ilst' without an MP4 library. Edits are staged and
// reach the file as one update at update() or close(); destruction without
// close() writes nothing.
#pragma once
#include "tags/AtomContainer.h"
#include "tags/Tag.h"

#include <string>
#include <vector>

namespace ovra {

class Tag_QTAtoms : public Tag {
public:
    Tag_QTAtoms() = default;
    // Opens the file; on failure the file is closed and the code thrown.
    Tag_QTAtoms(const char* path, bool readOnly);
    ~Tag_QTAtoms() override;

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
    void getData(const char* owner, uint32_t code, void* buffer, int size) override;

    void setTitle(const char* text) override;
    void setArtist(const char* text) override;
    void setComposer(const char* text) override;
    void setAlbum(const char* text) override;
    void setGenre(const char* text) override;
    void setComment(const char* text) override;
    void setBPM(int bpm) override;
    void setData(const char* owner, uint32_t code, const void* data, int size) override;
    ReplayGain getReplayGain() override;
    void setReplayGain(const ReplayGain& values) override;

    const char* implementation() override { return "QTAtoms"; }
    uint32_t kind() override { return TAG_KIND_ATOM; }

    // Reserved space of newly created containers (content bytes of their 'free').
    static constexpr uint32_t UDTA_FREE = 4096;
    static constexpr uint32_t META_FREE = 3072;
    static constexpr uint32_t ILST_FREE = 2048;

private:
    size_t readItem(uint32_t code, uint8_t* buffer, size_t max);
    void writeItem(uint32_t code, uint32_t typeIndicator, const void* payload, uint32_t length);
    void getText(uint32_t code, char* buffer, int size);
    void setText(uint32_t code, const char* text);
    struct Freeform {
        int64_t pos = -1;              // of the '----' item in 'ilst'; -1 when there is none
        std::vector<uint8_t> meanName; // its 'mean' and 'name' children as they are
        std::string value;             // of its first 'data' child, when that holds text
        bool text = false;
    };
    Freeform findFreeform(const char* name);
    void load();
    void repair();
    void openMetaChain(bool create);
    void requireWritable();
    void release(); // lets go of the containers and the file

    FileTransaction file;
    std::string path;
    AtomContainer root;
    AtomContainer moov;
    AtomContainer udta;
    AtomContainer meta;
    AtomContainer ilst;
    int64_t mdatPos = -1;
    bool readOnly = false;
    // Missing containers are created by the first write only: until then
    // their items read as absent.
    bool hasUdta = false;
    bool hasIlst = false;
    // Why this file must not be written (a fragmented file), or 0.
    int refusal = 0;
};

} // namespace ovra
