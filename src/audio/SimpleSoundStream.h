// A source of audio frames handed out as planar 32-bit floats.
#pragma once
#include <string>
#include <cstdint>

namespace ovra {

class SimpleSoundStream {
public:
    virtual ~SimpleSoundStream() = default;
    // Delivers the next frames of the first channels, planar: channel 0's
    // frames first. 0 on success, -1 for a bad request (nothing delivered),
    // else the error the stream met.
    virtual int32_t read(uint32_t frames, int32_t channels, float* out) = 0;
    virtual int32_t seek(int64_t frame) = 0;
    int32_t rewind() { return seek(0); }
    virtual int32_t channels() = 0;
    virtual double samplerate() = 0;
    virtual int64_t length() = 0;
    virtual int64_t position() = 0;
    // True from a successful open until the frames delivered reach the length.
    virtual bool isopen() = 0;
    // Why a stream that is not open could not be opened, in words; empty when
    // it does not say.
    virtual std::string openerror() { return std::string(); }
};

} // namespace ovra
