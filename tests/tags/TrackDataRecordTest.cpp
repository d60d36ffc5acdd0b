// The 64-byte data record: its byte layout and its validation.
#include "batch/TrackDataRecord.h"

#include <gtest/gtest.h>

using ovra::tempix::TrackDataRecord;

TEST(TrackDataRecord, EncodesBigEndianAtTheFixedOffsets)
{
    TrackDataRecord r;
    r.flags = TrackDataRecord::FLAG_ANALYSIS | TrackDataRecord::FLAG_BPM | TrackDataRecord::FLAG_VOLUME;
    r.analysis = {44100, 0x01020304, 3, 4, 5, 6, 7, 8, 9};
    r.bpm = 128;
    r.volume = -1000;
    uint8_t b[64];
    r.encode(b);
    EXPECT_EQ(b[3], 64);
    EXPECT_EQ(b[0] | b[1] | b[2], 0);
    EXPECT_EQ(b[4], 1);
    EXPECT_EQ(b[5] | b[6] | b[7], 0);
    EXPECT_EQ(b[10], 0x05);
    EXPECT_EQ(b[11], 0x1F);
    EXPECT_EQ((b[14] << 8) | b[15], 44100);
    EXPECT_EQ(b[16], 1);
    EXPECT_EQ(b[19], 4);
    EXPECT_EQ(b[47], 9);
    EXPECT_EQ(b[51], 128);
    EXPECT_EQ(b[52] | b[53] | b[54] | b[55], 0) << "times not set";
    EXPECT_EQ(b[60], 0xFF);
    EXPECT_EQ(b[62], 0xFC);
    EXPECT_EQ(b[63], 0x18);

    TrackDataRecord back;
    ASSERT_TRUE(TrackDataRecord::decode(b, back));
    EXPECT_EQ(back.flags, r.flags);
    EXPECT_EQ(back.analysis.frameCount, 0x01020304u);
    EXPECT_EQ(back.analysis.lastBeat, 9u);
    EXPECT_EQ(back.volume, -1000);
    EXPECT_TRUE(back.hasAnalysis());
    EXPECT_TRUE(back.hasBPM());
    EXPECT_FALSE(back.hasTimes());
    EXPECT_TRUE(back.hasVolume());
}

TEST(TrackDataRecord, RefusesAnotherSizeOrVersion)
{
    TrackDataRecord r;
    r.bpm = 77;
    uint8_t b[64];
    r.encode(b);
    TrackDataRecord out;
    out.bpm = 5;
    b[3] = 63;
    EXPECT_FALSE(TrackDataRecord::decode(b, out));
    b[3] = 64;
    b[4] = 2;
    EXPECT_FALSE(TrackDataRecord::decode(b, out));
    EXPECT_EQ(out.bpm, 5u) << "a refused record leaves the target alone";
    b[4] = 1;
    EXPECT_TRUE(TrackDataRecord::decode(b, out));
    EXPECT_EQ(out.bpm, 77u);
    // A record whose low flag bits are not all set has no usable analysis.
    out.flags = 0x0F;
    EXPECT_FALSE(out.hasAnalysis());
}
