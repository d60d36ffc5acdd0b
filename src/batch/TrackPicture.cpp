#include "batch/TrackPicture.h"
#include "audio/SimpleSoundFile_AV.h"
#include "tags/Tag.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace ovra::tempix {

namespace {

// Passes a stream through unchanged and keeps the level of what is read.
class LevelTap : public ovra::SimpleSoundStream {
public:
    LevelTap(std::unique_ptr<ovra::SimpleSoundStream> source_, TrackPicture& picture_)
        : source(std::move(source_)), picture(picture_)
    {
        const double sr = source->isopen() ? source->samplerate() : 0.0;
        if (sr > 0.0) {
            blockFrames = uint32_t(std::max(1L, std::lround(sr * PICTURE_BLOCK_SECONDS)));
            picture.blockSeconds = blockFrames / sr;
            picture.duration = double(source->length()) / sr;
            if (picture.duration > 0.0)
                picture.level.reserve(size_t(picture.duration / picture.blockSeconds) + 1);
        }
    }
    ~LevelTap() override
    {
        if (inBlock > 0)
            picture.level.push_back(float(std::sqrt(sum / inBlock)));
    }

    int32_t read(uint32_t frames, int32_t channels, float* out) override
    {
        int32_t status = source->read(frames, channels, out);
        if (status == 0 && blockFrames > 0 && channels > 0)
            observe(frames, channels, out);
        return status;
    }
    int32_t seek(int64_t frame) override { return source->seek(frame); }
    int32_t channels() override { return source->channels(); }
    double samplerate() override { return source->samplerate(); }
    int64_t length() override { return source->length(); }
    int64_t position() override { return source->position(); }
    bool isopen() override { return source->isopen(); }
    std::string openerror() override { return source->openerror(); }

private:
    // Planar frames: channel 0 first. Each frame counts the mean square of its channels.
    void observe(uint32_t frames, int32_t channels, const float* out)
    {
        for (uint32_t f = 0; f < frames; ++f) {
            double s = 0.0;
            for (int32_t c = 0; c < channels; ++c) {
                const double v = out[size_t(c) * frames + f];
                s += v * v;
            }
            sum += s / channels;
            if (++inBlock == blockFrames) {
                picture.level.push_back(float(std::sqrt(sum / blockFrames)));
                sum = 0.0;
                inBlock = 0;
            }
        }
    }

    std::unique_ptr<ovra::SimpleSoundStream> source;
    TrackPicture& picture;
    uint32_t blockFrames = 0;
    uint32_t inBlock = 0;
    double sum = 0.0;
};

AnalysisOutcome failedwith(const char* line, AnalysisCause cause)
{
    AnalysisOutcome outcome;
    outcome.status = AnalysisStatus::failed;
    outcome.failure = line;
    outcome.cause = cause;
    return outcome;
}

} // namespace

const TrackAnalysis* TrackPicture::shown(double& sampleRate) const
{
    if (hasRecord && record.hasAnalysis() && record.analysis.sampleRate > 0) {
        sampleRate = record.analysis.sampleRate;
        return &record.analysis;
    }
    if (fresh.status == AnalysisStatus::ok && fresh.sampleRate > 0.0) {
        sampleRate = fresh.sampleRate;
        return &fresh.analysis;
    }
    sampleRate = 0.0;
    return nullptr;
}

TrackPicture loadTrackPicture(const char* path, ovra::Canceler& canceler)
{
    TrackPicture picture;
    picture.path = path ? path : "";
    try {
        std::unique_ptr<ovra::Tag> tag(ovra::openTag(picture.path.c_str(), true));
        uint8_t bytes[TrackDataRecord::SIZE] = {};
        tag->getData(ovra::TRACKDATA_OWNER, ovra::TRACKDATA_CODE, bytes, sizeof bytes);
        picture.hasRecord = TrackDataRecord::decode(bytes, picture.record);
    } catch (...) {
        picture.hasRecord = false; // no tag, no record, or one we cannot read
    }
    try {
        auto file = std::make_unique<ovra::SimpleSoundFile_AV>(picture.path.c_str());
        picture.fresh = analyzeStream(std::make_unique<LevelTap>(std::move(file), picture), canceler);
    } catch (int code) {
        char line[64];
        std::snprintf(line, sizeof line, "Could not decode track: error code %d.\n", code);
        picture.fresh = failedwith(line, AnalysisCause::decodeError);
    } catch (const std::bad_alloc&) {
        picture.fresh = failedwith("Not enough memory to process track.\n", AnalysisCause::noMemory);
    }
    return picture;
}

} // namespace ovra::tempix
