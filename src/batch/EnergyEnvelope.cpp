#include "batch/EnergyEnvelope.h"

namespace ovra::tempix {

EnergyEnvelope::EnergyEnvelope(float* values_, uint32_t blocks_, uint32_t hop_)
    : values(values_), blocks(blocks_), hop(hop_), divisor(double(blocks_))
{
}

EnergyEnvelope::EnergyEnvelope(uint32_t blocks_, uint32_t hop_) : EnergyEnvelope(nullptr, blocks_, hop_) {}

void EnergyEnvelope::add(const float* samples, uint32_t count) { add(samples, count, values + block); }

uint32_t EnergyEnvelope::add(const float* samples, uint32_t count, float* out)
{
    const uint32_t startBlock = block;
    uint32_t i = 0;
    while (i < count && block < blocks) {
        // Whole blocks, GROUP at a time: each block still sums its own samples
        // in order, but the groups' sums advance side by side.
        constexpr uint32_t GROUP = 8;
        if (inBlock == 0 && count - i >= GROUP * hop && blocks - block >= GROUP) {
            double s[GROUP] = {};
            const float* base = samples + i;
            for (uint32_t j = 0; j < hop; ++j) {
                for (uint32_t g = 0; g < GROUP; ++g) {
                    const double v = double(base[g * hop + j]);
                    s[g] += v * v;
                }
            }
            for (uint32_t g = 0; g < GROUP; ++g)
                out[block - startBlock + g] = float(s[g] / divisor);
            block += GROUP;
            i += GROUP * hop;
            continue;
        }
        uint32_t run = hop - inBlock;
        if (run > count - i)
            run = count - i;
        double s = sum;
        for (uint32_t j = 0; j < run; ++j) {
            double v = double(samples[i + j]);
            s += v * v;
        }
        sum = s;
        i += run;
        inBlock += run;
        if (inBlock == hop) {
            out[block - startBlock] = float(sum / divisor);
            ++block;
            sum = 0.0;
            inBlock = 0;
        }
    }
    return block - startBlock;
}

} // namespace ovra::tempix
