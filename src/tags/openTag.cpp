// Chooses the tag implementation by the file name's suffix.
#include "tags/Tag.h"
#include "tags/Tag_ID3Lib.h"
#include "tags/Tag_QTAtoms.h"
#include "tags/Tag_TagLib.h"
#include "platform/tools_strings.h"

#include <cstring>
#include <memory>

namespace ovra {

Tag* openTag(const char* path, bool readOnly)
{
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr)
        throw TAG_ERR_UNUSABLE;

    if (strcmp_ci_ascii(dot, ".mp3") == 0) {
        // id3lib first; whatever goes wrong there (an ID3v2.4 tag, a failed
        // link, even a foreign exception) is a reason to try TagLib instead.
        try {
            auto tag = std::make_unique<Tag_ID3Lib>(path, readOnly);
            return tag.release();
        } catch (...) {
            // TagLib's turn.
        }
        auto tag = std::make_unique<Tag_TagLib>(path, readOnly);
        return tag.release();
    }
    if (strcmp_ci_ascii(dot, ".m4a") == 0) {
        auto tag = std::make_unique<Tag_QTAtoms>(path, readOnly);
        return tag.release();
    }
    throw TAG_ERR_UNUSABLE;
}

} // namespace ovra
