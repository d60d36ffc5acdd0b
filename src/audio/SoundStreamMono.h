// A two-channel stream presented as one channel: the average of left and right.
#pragma once
#include "audio/SimpleSoundStream.h"
#include "audio/Trash.h"

#include <vector>

namespace ovra {

class SoundStreamMono : public SimpleSoundStream, public Trash<SimpleSoundStream> {
public:
    // With owned the source is deleted with this stream; otherwise the caller keeps it.
    SoundStreamMono(SimpleSoundStream* source, bool owned);

    int32_t read(uint32_t frames, int32_t channels, float* out) override;
    int32_t seek(int64_t frame) override { return source->seek(frame); }
    int32_t channels() override { return 1; }
    double samplerate() override { return source->samplerate(); }
    int64_t length() override { return source->length(); }
    int64_t position() override { return source->position(); }
    bool isopen() override { return source->isopen(); }

private:
    SimpleSoundStream* source;
    std::vector<float> both;
};

} // namespace ovra
