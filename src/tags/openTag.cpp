// Chooses the tag implementation by the file name's suffix (and, for the
// Xiph formats, by the file's content).
#include "tags/Tag.h"
#include "tags/Tag_ID3Lib.h"
#include "tags/Tag_QTAtoms.h"
#include "tags/Tag_TagLib.h"
#include "tags/Tag_Xiph.h"
#include "platform/tools_strings.h"

#include <cstring>
#include <memory>

namespace ovra {

std::unique_ptr<Tag> openTag(const char* path, bool readOnly)
{
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr)
        throw TAG_ERR_UNUSABLE;

    if (strcmp_ci_ascii(dot, ".mp3") == 0) {
        // id3lib first; whatever goes wrong there (an ID3v2.4 tag, a failed
        // link, even a foreign exception) is a reason to try TagLib instead.
        try {
            return std::make_unique<Tag_ID3Lib>(path, readOnly);
        } catch (...) {
            // TagLib's turn.
        }
        return std::make_unique<Tag_TagLib>(path, readOnly);
    }
    if (strcmp_ci_ascii(dot, ".m4a") == 0) {
        return std::make_unique<Tag_QTAtoms>(path, readOnly);
    }
    if (isxiphsuffix(dot)) {
        // FLAC, Vorbis or Opus by what the file holds: a ".ogg" may be any.
        return std::make_unique<Tag_Xiph>(path, readOnly);
    }
    throw TAG_ERR_UNUSABLE;
}

bool isxiphsuffix(const char* suffix)
{
    for (const char* known : {".flac", ".ogg", ".oga", ".opus"}) {
        if (strcmp_ci_ascii(suffix, known) == 0)
            return true;
    }
    return false;
}

bool istagfile(const char* path)
{
    const char* dot = std::strrchr(path, '.');
    return dot != nullptr &&
        (strcmp_ci_ascii(dot, ".mp3") == 0 || strcmp_ci_ascii(dot, ".m4a") == 0 || isxiphsuffix(dot));
}

} // namespace ovra
