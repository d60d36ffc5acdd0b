#include "batch/TrackWords.h"
#include "tags/Tag.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace ovra::tempix {

namespace {

std::string filewords(int fileError, const std::string& path)
{
    switch (fileError) {
    case 0:
        return "";
    case ENOENT:
    case ENOTDIR:
        return "File not found: " + path;
    case EACCES:
    case EPERM:
        return "Permission denied";
    case TrackResult::FILE_NOT_AUDIO:
        return "Not an audio file";
    case TrackResult::FILE_UNREADABLE:
        return "The file's tags could not be read: it may be damaged";
    default:
        return std::strerror(fileError);
    }
}

// Empty where the cause has no words of its own (the log line stands).
std::string causewords(AnalysisCause cause, double seconds, const std::string& decoderReason)
{
    switch (cause) {
    case AnalysisCause::tooShort: {
        char length[32];
        std::snprintf(length, sizeof length, "%.3f s", seconds);
        return std::string("Too short to analyse (") + length + ")";
    }
    case AnalysisCause::notOpened:
        return decoderReason.empty() ? "The decoder could not open the file"
                                     : "The decoder (FFmpeg) could not open the file: " + decoderReason;
    case AnalysisCause::tooManyChannels:
        return "More than 2 channels";
    case AnalysisCause::noBeat:
        return "No beat found";
    case AnalysisCause::noMemory:
        return "Not enough memory";
    case AnalysisCause::decodeError:
    case AnalysisCause::none:
        break;
    }
    return "";
}

std::string withoutlinefeeds(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

} // namespace

int fileproblem(const char* path, int found)
{
    if (found != 0)
        return found;
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr || std::strchr(dot, '/') != nullptr || !ovra::istagfile(path))
        return TrackResult::FILE_NOT_AUDIO;
    if (::access(path, R_OK) != 0)
        return errno;
    return TrackResult::FILE_UNREADABLE;
}

std::string trackproblemwords(const TrackResult& r)
{
    std::string words = filewords(r.fileError, r.path);
    if (words.empty())
        words = causewords(r.cause, r.seconds, r.decoderReason);
    return words.empty() ? r.reason : words;
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

std::string nopicturewords(const TrackPicture& p)
{
    double rate = 0.0;
    if (p.shown(rate) != nullptr || p.fresh.status == AnalysisStatus::cancelled)
        return "";
    std::string why;
    if (p.fresh.cause == AnalysisCause::notOpened) {
        struct stat st;
        why = filewords(fileproblem(p.path.c_str(), stat(p.path.c_str(), &st) == 0 ? 0 : errno), p.path);
        if (why == filewords(TrackResult::FILE_UNREADABLE, p.path))
            why.clear(); // the tags are not what the picture needs: the decoder's reason is
    }
    if (why.empty())
        why = causewords(p.fresh.cause, p.fresh.seconds, p.fresh.decoderReason);
    if (why.empty())
        why = withoutlinefeeds(p.fresh.failure);
    return "No picture: " + (why.empty() ? std::string("no analysis") : why);
}

} // namespace ovra::tempix
