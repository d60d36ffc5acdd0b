// What the library takes from a track's file when it is refreshed: the tempo
// and, for ID3 files, the relative volume the tag carries.
#pragma once
#include <string>

namespace ovra {

struct TrackTagValues {
    int bpm = 0;           // 0: none
    bool hasvolume = false;
    int rva = 0;           // -65535 .. 65535: amplitude gain 1 + rva / 65535
};

// 0, SCRIPT_FILE_NOT_FOUND, or SCRIPT_APP_FAILED for a file whose tag cannot be read.
int readtracktag(const std::string& path, TrackTagValues& values);

// An RVA2 master-volume index (1/512 dB) on the relative volume scale.
int rvafromrva2index(int index);

// The library's "Volume Adjustment" (-255 .. 255) for a relative volume.
int libraryvolumefromrva(int rva);

} // namespace ovra
