// The 64-byte data record: its validation.
#include "batch/TrackDataRecord.h"

#include <gtest/gtest.h>

using ovra::tempix::TrackDataRecord;

// The byte layout is read back by an independent reader in the end-to-end
// tests (read_tags.py in BatchCli) and decoded by tempix-cli --dump (DumpCommand).
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
}
