// The energy envelope of a track, built block by block as its samples arrive.
#pragma once
#include <cstdint>

namespace ovra::tempix {

// Each block of hop samples gives (sum of s*s in double) / blocks, as a float.
// Samples after the last whole block are ignored. Feeding the track in any
// chunks gives the same values as one pass over all of it.
class EnergyEnvelope {
public:
    // values must hold blocks floats; it is written as blocks complete.
    EnergyEnvelope(float* values, uint32_t blocks, uint32_t hop);
    // Without an array of its own: every add says where its blocks go.
    EnergyEnvelope(uint32_t blocks, uint32_t hop);
    void add(const float* samples, uint32_t count);
    // The blocks these samples complete, written to out (at most
    // count / hop + 1 of them); returns how many. The first of them is block
    // completed() - the result.
    uint32_t add(const float* samples, uint32_t count, float* out);
    uint32_t completed() const { return block; }

private:
    float* values = nullptr;
    uint32_t blocks;
    uint32_t hop;
    double divisor;
    uint32_t block = 0;
    uint32_t inBlock = 0;
    double sum = 0.0;
};

} // namespace ovra::tempix
