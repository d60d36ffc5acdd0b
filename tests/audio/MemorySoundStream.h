// A sound stream over samples held in memory, for tests.
#pragma once
#include "audio/SimpleSoundStream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace ovra::test {

class MemorySoundStream : public SimpleSoundStream {
public:
    // planar: channels blocks of equal length.
    MemorySoundStream(std::vector<std::vector<float>> planar, double rate, int* deletions = nullptr)
        : data(std::move(planar)), rate(rate), deletions(deletions)
    {
    }
    ~MemorySoundStream() override
    {
        if (deletions)
            ++*deletions;
    }

    int32_t read(uint32_t frames, int32_t channels, float* out) override
    {
        if (failWith != 0)
            return failWith;
        if (frames == 0 || channels < 1 || channels > this->channels())
            return -1;
        for (int32_t c = 0; c < channels; ++c) {
            const std::vector<float>& from = data[size_t(c)];
            for (uint32_t i = 0; i < frames; ++i)
                out[size_t(c) * frames + i] = pos + i < from.size() ? from[pos + i] : 0.0f;
        }
        pos += frames;
        return 0;
    }
    int32_t seek(int64_t frame) override
    {
        pos = uint64_t(frame);
        return 0;
    }
    int32_t channels() override { return int32_t(data.size()); }
    double samplerate() override { return rate; }
    int64_t length() override { return data.empty() ? 0 : int64_t(data[0].size()); }
    int64_t position() override { return int64_t(pos); }
    bool isopen() override { return pos < uint64_t(length()); }

    int32_t failWith = 0;

private:
    std::vector<std::vector<float>> data;
    double rate;
    uint64_t pos = 0;
    int* deletions;
};

} // namespace ovra::test
