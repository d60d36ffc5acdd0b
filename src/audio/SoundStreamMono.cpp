#include "audio/SoundStreamMono.h"

#include <cerrno>
#include <memory>
#include <new>

namespace ovra {

SoundStreamMono::SoundStreamMono(SimpleSoundStream* source_, bool owned) : source(source_)
{
    if (owned)
        append(source_);
}

int32_t SoundStreamMono::read(uint32_t frames, int32_t channels, float* out)
{
    if (channels != 1)
        return -1;
    if (source->channels() != 2)
        return -1;
    std::unique_ptr<float[]> both(new (std::nothrow) float[size_t(frames) * 2]);
    if (!both)
        return ENOMEM;
    int32_t status = source->read(frames, 2, both.get());
    if (status != 0)
        return status;
    const float* left = both.get();
    const float* right = left + frames;
    for (uint32_t i = 0; i < frames; ++i)
        out[i] = (left[i] + right[i]) * 0.5f;
    return 0;
}

} // namespace ovra
