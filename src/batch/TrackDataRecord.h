// The program's own 64-byte record kept in each processed file's tag: the
// analysis, the values written and which of them this program set. All
// integers are big-endian.
#pragma once
#include "batch/TrackAnalysis.h"
#include "platform/BigEndian.h"

#include <cstddef>
#include <cstdint>

namespace ovra::tempix {

struct TrackDataRecord {
    static constexpr size_t SIZE = 64;
    static constexpr uint8_t VERSION = 1;

    // The analysis fields are valid (always set in a record this program writes).
    static constexpr uint32_t FLAG_ANALYSIS = 0x1F;
    static constexpr uint32_t FLAG_BPM = 0x100;    // bpm was set by this program
    static constexpr uint32_t FLAG_TIMES = 0x200;  // startMs and stopMs were
    static constexpr uint32_t FLAG_VOLUME = 0x400; // volume was

    uint32_t flags = 0;
    TrackAnalysis analysis;
    uint32_t bpm = 0;     // 0 unless FLAG_BPM
    uint32_t startMs = 0; // 0 unless FLAG_TIMES
    uint32_t stopMs = 0;  // 0 unless FLAG_TIMES
    int32_t volume = 0;   // -65535 ... 65535; 0 unless FLAG_VOLUME

    bool hasAnalysis() const { return (flags & FLAG_ANALYSIS) == FLAG_ANALYSIS; }
    bool hasBPM() const { return (flags & FLAG_BPM) != 0; }
    bool hasTimes() const { return (flags & FLAG_TIMES) != 0; }
    bool hasVolume() const { return (flags & FLAG_VOLUME) != 0; }

    void encode(uint8_t out[SIZE]) const
    {
        const uint32_t fields[16] = {uint32_t(SIZE),
                                     uint32_t(VERSION) << 24,
                                     flags,
                                     analysis.sampleRate,
                                     analysis.frameCount,
                                     analysis.loudness,
                                     analysis.peakLevel,
                                     analysis.beatPeriod,
                                     analysis.startPeriod,
                                     analysis.endPeriod,
                                     analysis.firstBeat,
                                     analysis.lastBeat,
                                     bpm,
                                     startMs,
                                     stopMs,
                                     uint32_t(volume)};
        for (size_t i = 0; i < 16; ++i)
            putbe32(out + i * 4, fields[i]);
    }

    // False, and record untouched, unless the size field is 64 and the
    // version byte 1.
    static bool decode(const uint8_t in[SIZE], TrackDataRecord& record)
    {
        uint32_t fields[16];
        for (size_t i = 0; i < 16; ++i)
            fields[i] = getbe32(in + i * 4);
        if (fields[0] != SIZE || in[4] != VERSION)
            return false;
        TrackDataRecord r;
        r.flags = fields[2];
        r.analysis.sampleRate = fields[3];
        r.analysis.frameCount = fields[4];
        r.analysis.loudness = fields[5];
        r.analysis.peakLevel = fields[6];
        r.analysis.beatPeriod = fields[7];
        r.analysis.startPeriod = fields[8];
        r.analysis.endPeriod = fields[9];
        r.analysis.firstBeat = fields[10];
        r.analysis.lastBeat = fields[11];
        r.bpm = fields[12];
        r.startMs = fields[13];
        r.stopMs = fields[14];
        r.volume = int32_t(fields[15]);
        record = r;
        return true;
    }
};

} // namespace ovra::tempix
