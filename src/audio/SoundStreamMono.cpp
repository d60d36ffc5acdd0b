#include "audio/SoundStreamMono.h"

#include <cerrno>
#include <cstddef>
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
    // The buffer is kept from one read to the next: reads come in equal chunks.
    try {
        if (both.size() < std::size_t(frames) * 2)
            both.resize(std::size_t(frames) * 2);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    int32_t status = source->read(frames, 2, both.data());
    if (status != 0)
        return status;
    const float* left = both.data();
    const float* right = left + frames;
    for (uint32_t i = 0; i < frames; ++i)
        out[i] = (left[i] + right[i]) * 0.5f;
    return 0;
}

} // namespace ovra
