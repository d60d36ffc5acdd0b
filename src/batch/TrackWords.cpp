#include "batch/TrackWords.h"

#include <cerrno>
#include <cstring>

namespace ovra::tempix {

namespace {
const char* const TOO_SHORT = "too short (";
}

std::string trackproblemwords(const TrackResult& r)
{
    switch (r.fileError) {
    case 0:
        break;
    case ENOENT:
    case ENOTDIR:
        return "File not found: " + r.path;
    case EACCES:
    case EPERM:
        return "Permission denied";
    case TrackResult::FILE_NOT_AUDIO:
        return "Not an audio file";
    case TrackResult::FILE_UNREADABLE:
        return "The file's tags could not be read: it may be damaged";
    default: {
        std::string words = std::strerror(r.fileError);
        return words.empty() ? r.reason : words;
    }
    }
    // The analysis's own line: "Track too short (0.400 s)."
    const size_t shortAt = r.reason.find(TOO_SHORT);
    if (shortAt != std::string::npos) {
        std::string length = r.reason.substr(shortAt + std::strlen(TOO_SHORT));
        length = length.substr(0, length.find(')'));
        return "Too short to analyse (" + length + ")";
    }
    return r.reason;
}

std::string nopicturewords(const TrackResult& r)
{
    if (r.hasAnalysis)
        return "";
    const std::string why = trackproblemwords(r);
    if (!why.empty())
        return "No picture: " + why;
    if (r.listed)
        return "No picture: the track was listed, not analysed.";
    return "No picture: the track was not analysed.";
}

} // namespace ovra::tempix
