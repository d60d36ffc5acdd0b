// Defaults for operations an implementation does not support, and the dump.
#include "tags/Tag.h"

#include <cstdio>
#include <string>
#include <utility>

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
ReplayGain Tag::getReplayGain() { throw TAG_ERR_UNSUPPORTED; }
void Tag::setReplayGain(const ReplayGain&) { throw TAG_ERR_UNSUPPORTED; }

namespace {
const CodeText REFUSALS[] = {
    {TAG_ERR_LAYOUT, "its tag holds data that could not be kept exactly, so the file was left as it was"},
    {TAG_ERR_STREAM, "its Ogg stream is chained, multiplexed or damaged, so the file was left as it was"},
    {TAG_ERR_AUDIO_MOVED, "the update would have changed the audio or other data, so the file was left as it was"},
    {ATOM_ERR_FRAGMENTED, "a fragmented MP4 file cannot be updated safely, so it was left as it was"},
    {ATOM_ERR_CHUNK_LOST, "the update would have lost audio, so the file was left as it was"},
    {FILE_ERR_CHANGED, "the file was changed by another program meanwhile, so it was left as it was"},
};
} // namespace

const char* tagwriterefusal(int code) { return codetext(REFUSALS, code); }

namespace {
// One line of the dump: the value, or the error code its getter threw.
template <typename Read>
void dumpline(FILE* stream, const char* name, Read read)
{
    std::string value;
    try {
        value = read();
    } catch (int code) {
        // An item the tag does not hold is simply empty; anything else says why.
        if (code == TAG_ERR_NOT_FOUND)
            std::fprintf(stream, "%s: (none)\n", name);
        else
            std::fprintf(stream, "%s: err=%lu (%s)\n", name, (unsigned long)code, errorText(code).c_str());
        return;
    }
    std::fprintf(stream, "%s: %s\n", name, value.c_str());
}
} // namespace

void Tag::dump(FILE* stream)
{
    if (stream == nullptr)
        stream = stdout;
    std::fprintf(stream, "Implementation: %s\n", implementation());
    using TextGetter = void (Tag::*)(char*, int);
    const std::pair<const char*, TextGetter> texts[] = {
        {"Title", &Tag::getTitle}, {"Artist", &Tag::getArtist}, {"Composer", &Tag::getComposer},
        {"Album", &Tag::getAlbum}, {"Genre", &Tag::getGenre},   {"Comment", &Tag::getComment},
    };
    for (const auto& [name, getter] : texts) {
        dumpline(stream, name, [&] {
            char buffer[1024];
            (this->*getter)(buffer, sizeof buffer);
            return std::string(buffer);
        });
    }
    dumpline(stream, "BPM", [&] { return std::to_string(getBPM()); });
    dumpline(stream, "RVA", [&] {
        int rva = getRVA();
        return (rva >= 0 ? "+" : "") + std::to_string(rva);
    });
}

} // namespace ovra
