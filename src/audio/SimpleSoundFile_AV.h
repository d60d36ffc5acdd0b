// An audio file decoded with FFmpeg's libraries: the first audio stream as
// signed 16-bit samples at the file's own rate and channel count.
#pragma once
#include "audio/SimpleSoundStream.h"

#include <memory>
#include <string>

namespace ovra {

class SimpleSoundFile_AV : public SimpleSoundStream {
public:
    // Opens at once and never throws for a file it cannot use: test isopen().
    // The length is exact before the first read: where the container only
    // estimates it, the file's packets are counted.
    explicit SimpleSoundFile_AV(const char* path);
    ~SimpleSoundFile_AV() override;
    SimpleSoundFile_AV(const SimpleSoundFile_AV&) = delete;
    SimpleSoundFile_AV& operator=(const SimpleSoundFile_AV&) = delete;

    // Frames the decoder cannot make are delivered as silence of their own
    // duration and the read returns the decoder's (negative) error; the frames
    // and the position still advance, so what follows stays in its place.
    int32_t read(uint32_t frames, int32_t channels, float* out) override;
    // Moves the decode point; position() and isopen() are left as they are.
    int32_t seek(int64_t frame) override;
    int32_t channels() override { return channelCount; }
    double samplerate() override { return rate; }
    int64_t length() override { return frameLength; }
    int64_t position() override { return int64_t(framePosition); }
    bool isopen() override { return open; }
    std::string openerror() override { return failure; }

private:
    struct Decoder;
    std::unique_ptr<Decoder> decoder;
    double rate = 0.0;
    int64_t frameLength = 0;
    uint64_t framePosition = 0;
    int32_t channelCount = 0;
    bool open = false;
    std::string failure; // why it did not open, in FFmpeg's words or ours
};

} // namespace ovra
