#include "tags/VolumeScale.h"

#include <cmath>

namespace ovra {

namespace {
constexpr double RVA_SCALE = 65535.0;
constexpr double PERCENT_SCALE = 100.0;
constexpr double LIBRARY_SCALE = 255.0;
constexpr double INDEX_PER_DECADE = 10240.0; // 512 per dB, 20 dB per decade of amplitude
constexpr double LN10 = 2.302585092994046;

constexpr int RVA2_INDEX_MAX = 32767;
constexpr int RVA2_FLOOR_INDEX = -32768;
constexpr int RVA2_FLOOR_RVA = -65522;
constexpr int RVA2_FLOOR_LIMIT = -65508; // nearer -65522 than -65494
} // namespace

int rvatopercent(int rva) { return int(std::lround(rva * PERCENT_SCALE / RVA_SCALE)); }

int rvatolibraryvolume(int rva) { return int(std::lround(rva * LIBRARY_SCALE / RVA_SCALE)); }

int percenttolibraryvolume(double percent) { return int(std::llround(percent * LIBRARY_SCALE / PERCENT_SCALE)); }

int libraryvolumetopercent(long long libraryVolume)
{
    return int(std::lround(double(libraryVolume) * PERCENT_SCALE / LIBRARY_SCALE));
}

int rva2indextorva(int index)
{
    if (index <= RVA2_FLOOR_INDEX)
        return RVA2_FLOOR_RVA;
    double r = (std::exp(index * LN10 / INDEX_PER_DECADE) - 1.0) * RVA_SCALE;
    if (r < RVA_MIN)
        return RVA_MIN;
    if (r > RVA_MAX)
        return RVA_MAX;
    return int(std::lround(r));
}

int rvatorva2index(int rva)
{
    if (rva <= RVA2_FLOOR_LIMIT)
        return RVA2_FLOOR_INDEX;
    double x = INDEX_PER_DECADE * std::log10(1.0 + rva / RVA_SCALE);
    if (x < -RVA2_INDEX_MAX)
        return -RVA2_INDEX_MAX;
    if (x > RVA2_INDEX_MAX)
        return RVA2_INDEX_MAX;
    return int(std::lround(x));
}

} // namespace ovra
