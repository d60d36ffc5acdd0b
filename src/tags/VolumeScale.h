// The volume scales and every conversion between them:
//   RVA, the relative volume of the tag and the data record, -65535 .. 65535
//     (an amplitude gain of 1 + RVA / 65535);
//   the volume percent of the log and the scripts, -100 .. 100;
//   the library's "Volume Adjustment", -255 .. 255;
//   the RVA2 frame's master-volume index, 1/512 dB.
#pragma once

namespace ovra {

constexpr int RVA_MIN = -65535;
constexpr int RVA_MAX = 65535;

int rvatopercent(int rva);
int rvatolibraryvolume(int rva);
// A percent of a script (any real number in -100 .. 100) on the library's scale.
int percenttolibraryvolume(double percent);
int libraryvolumetopercent(long long libraryVolume);

// Index -32768 (-64 dB) stands for every value below what -32767 holds
// (-65494) and reads back as the middle of them, so that each comes back
// within 15, the tolerance the batch allows for its own volume.
int rva2indextorva(int index);
int rvatorva2index(int rva);

} // namespace ovra
