// One tag interface over the three implementations (TagLib, id3lib, MP4 atoms).
// Every operation reports failure by throwing a plain int code.
#pragma once
#include <cstdint>
#include <cstdio>

namespace ovra {

// Four-character code from its four characters.
constexpr uint32_t fourcc(char a, char b, char c, char d)
{
    return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) | uint32_t(uint8_t(d));
}

enum TagError : int {
    TAG_ERR_UNSUPPORTED = 20601, // operation not supported by this tag
    TAG_ERR_NOT_FOUND = 20602,   // item not in the tag
    TAG_ERR_UNUSABLE = 20603,    // no usable tag or unhandled file
};

constexpr uint32_t TAG_KIND_ATOM = fourcc('A', 'T', 'O', 'M');
constexpr uint32_t TAG_KIND_TAGLIB = fourcc('T', 'a', 'g', 'L');
constexpr uint32_t TAG_KIND_ID3LIB = fourcc('I', 'D', '3', 'L');

class Tag {
public:
    virtual ~Tag() = default;

    virtual void open(const char* path, bool readOnly) = 0;
    virtual void close() = 0;
    virtual void update() = 0;

    virtual void getTitle(char* buffer, int size);
    virtual void getArtist(char* buffer, int size);
    virtual void getComposer(char* buffer, int size);
    virtual void getAlbum(char* buffer, int size);
    virtual void getGenre(char* buffer, int size);
    virtual void getComment(char* buffer, int size);
    virtual int getBPM();
    virtual int getRVA();
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

    // Prints the diagnostic dump; a null stream means standard output.
    virtual void dump(FILE* stream);
    virtual const char* implementation() = 0;
    virtual uint32_t kind() = 0;
};

// Opens the tag of a file, choosing the implementation by its extension.
// The caller owns the result.
Tag* openTag(const char* path, bool readOnly);

// The ID3v1 genre list with the Winamp extensions (148 names).
extern const char* const genreNames[148];

} // namespace ovra
