// Defaults for operations an implementation does not support, and the dump.
#include "tags/Tag.h"
#include "tags/AtomContainer.h"

namespace ovra {

void Tag::getTitle(char*, int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::getArtist(char*, int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::getComposer(char*, int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::getAlbum(char*, int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::getGenre(char*, int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::getComment(char*, int) { throw TAG_ERR_UNSUPPORTED; }
int Tag::getBPM() { throw TAG_ERR_UNSUPPORTED; }
int Tag::getRVA() { throw TAG_ERR_UNSUPPORTED; }
void Tag::getData(const char*, uint32_t, void*, int) { throw TAG_ERR_UNSUPPORTED; }

void Tag::setTitle(const char*) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setArtist(const char*) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setComposer(const char*) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setAlbum(const char*) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setGenre(const char*) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setComment(const char*) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setBPM(int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setRVA(int) { throw TAG_ERR_UNSUPPORTED; }
void Tag::setData(const char*, uint32_t, const void*, int) { throw TAG_ERR_UNSUPPORTED; }

const char* tagwriterefusal(int code)
{
    switch (code) {
    case TAG_ERR_LAYOUT:
        return "its tag holds data that could not be kept exactly, so the file was left as it was";
    case TAG_ERR_STREAM:
        return "its Ogg stream is chained, multiplexed or damaged, so the file was left as it was";
    case TAG_ERR_AUDIO_MOVED:
        return "the update would have changed the audio or other data, so the file was left as it was";
    case ATOM_ERR_FRAGMENTED:
        return "a fragmented MP4 file cannot be updated safely, so it was left as it was";
    case ATOM_ERR_CHUNK_LOST:
        return "the update would have lost audio, so the file was left as it was";
    case FILE_ERR_CHANGED:
        return "the file was changed by another program meanwhile, so it was left as it was";
    default:
        return nullptr;
    }
}

namespace {
using TextGetter = void (Tag::*)(char*, int);

void dumptext(Tag& tag, FILE* stream, TextGetter getter, const char* okFormat, const char* errFormat)
{
    char buffer[1024];
    try {
        (tag.*getter)(buffer, sizeof buffer);
    } catch (int code) {
        std::fprintf(stream, errFormat, (unsigned long)code);
        return;
    }
    std::fprintf(stream, okFormat, buffer);
}
} // namespace

void Tag::dump(FILE* stream)
{
    if (stream == nullptr)
        stream = stdout;
    std::fprintf(stream, "Implementation: %s\n", implementation());
    dumptext(*this, stream, &Tag::getTitle, "Title: %s\n", "Title: err=%lu\n");
    dumptext(*this, stream, &Tag::getArtist, "Artist: %s\n", "Artist: err=%lu\n");
    dumptext(*this, stream, &Tag::getComposer, "Composer: %s\n", "Composer: err=%lu\n");
    dumptext(*this, stream, &Tag::getAlbum, "Album: %s\n", "Album: err=%lu\n");
    dumptext(*this, stream, &Tag::getGenre, "Genre: %s\n", "Genre: err=%lu\n");
    dumptext(*this, stream, &Tag::getComment, "Comment: %s\n", "Comment: err=%lu\n");

    bool ok = true;
    int bpm = 0;
    try {
        bpm = getBPM();
    } catch (int code) {
        std::fprintf(stream, "BPM: err=%lu\n", (unsigned long)code);
        ok = false;
    }
    if (ok)
        std::fprintf(stream, "BPM: %d\n", bpm);

    ok = true;
    int rva = 0;
    try {
        rva = getRVA();
    } catch (int code) {
        std::fprintf(stream, "RVA: err=%lu\n", (unsigned long)code);
        ok = false;
    }
    if (ok)
        std::fprintf(stream, "RVA: %+d\n", rva);
}

} // namespace ovra
