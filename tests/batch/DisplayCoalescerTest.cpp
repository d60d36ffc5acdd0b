// The coalescer between a fast batch and a slow display: many calls in, a
// few looks out, nothing of the log or the rows lost or reordered, and the
// latest file, status and progress always the ones shown.
#include "batch/DisplayCoalescer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using ovra::tempix::DisplayCoalescer;
using ovra::tempix::TrackResult;

TEST(DisplayCoalescer, ManyUpdatesInFewOutTheLastStateAlwaysShown)
{
    DisplayCoalescer display;
    const int tracks = 20000;
    std::atomic<bool> ended{false};
    std::thread batch([&] {
        display.setProgressRange(tracks);
        for (int i = 0; i < tracks; ++i) {
            const std::string name = "t" + std::to_string(i);
            display.setFileLine(name.c_str());
            display.setStatusLine("Checking track metadata");
            display.logEntry(("Processing: " + name + "\n").c_str());
            display.setStatusLine("Analyzing track");
            TrackResult r;
            r.path = name;
            display.trackFinished(r);
            display.setProgressValue(i + 1);
        }
        display.batchEnded("Done", false);
        ended = true;
    });

    int looks = 0, rows = 0, entries = 0, range = -1, value = -1;
    std::string file, status, message;
    bool done = false;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const bool last = ended.load();
        DisplayCoalescer::Changes c = display.take();
        ++looks;
        range = c.progressRange.value_or(range);
        value = c.progressValue.value_or(value);
        file = c.fileLine.value_or(file);
        status = c.statusLine.value_or(status);
        for (const auto& e : c.events) {
            if (e.result) {
                // A row follows its track's entry, in the batch's order.
                EXPECT_EQ(e.result->path, "t" + std::to_string(rows));
                EXPECT_EQ(entries, rows + 1);
                ++rows;
            } else {
                EXPECT_EQ(e.entry, "Processing: t" + std::to_string(entries) + "\n");
                ++entries;
            }
        }
        if (c.endMessage) {
            message = *c.endMessage;
            EXPECT_EQ(rows, tracks); // everything before the end came first
        }
        done = last;
    }
    batch.join();
    EXPECT_EQ(message, "Done");
    EXPECT_EQ(rows, tracks);
    EXPECT_EQ(range, tracks);
    EXPECT_EQ(value, tracks);
    EXPECT_EQ(file, "t" + std::to_string(tracks - 1));
    EXPECT_EQ(status, "Analyzing track");
    EXPECT_LT(looks, tracks); // each look takes many calls at once
    EXPECT_TRUE(display.take().empty());
}
