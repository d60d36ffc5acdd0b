// The energy envelope of one track, one float per block: held in memory up
// to a limit, beyond it in an unnamed temporary file, so that a long track
// costs no more memory than a short one and is still decoded only once.
#pragma once
#include <cstdint>
#include <vector>

namespace ovra::tempix {

class EnvelopeStore {
public:
    // Room for blocks values; more than held of them go to a file (when one
    // can be made: else, and when a write fails, everything stays in memory).
    EnvelopeStore(uint32_t blocks, uint32_t held);
    ~EnvelopeStore();
    EnvelopeStore(const EnvelopeStore&) = delete;
    EnvelopeStore& operator=(const EnvelopeStore&) = delete;

    // False when the memory it needs could not be had.
    bool ok() const { return usable; }
    // Whether the values live in a file.
    bool spilled() const { return fd >= 0; }
    // Appends count values after the last ones; false when out of memory.
    bool append(const float* values, uint32_t count);
    uint32_t size() const { return stored; }
    // count values from position pos (pos + count <= size()) into out.
    bool read(uint32_t pos, uint32_t count, float* out) const;

private:
    bool flush();
    bool tomemory();

    uint32_t blocks;
    uint32_t stored = 0;
    bool usable = true;
    int fd = -1;
    std::vector<float> memory; // the values, or the ones not yet written
    uint32_t written = 0;      // values in the file
};

} // namespace ovra::tempix
