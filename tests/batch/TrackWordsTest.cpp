// The words of a row and of the picture pane come from the causes the batch
// and the decoder recorded, for real files that go wrong in different ways.
#include "batch/TrackPicture.h"
#include "batch/TrackWords.h"
#include "platform/Threads.h"
#include "support/Process.h"
#include "support/TempFolders.h"

#include <gtest/gtest.h>

using namespace ovra::tempix;
using testsupport::shellquote;

TEST(TrackWords, ThePicturePaneSaysWhyInTheRowsWords)
{
    testsupport::TempDir dir;
    const std::string shortTrack = (dir.root() / "short.mp3").string();
    ASSERT_EQ(testsupport::run("ffmpeg -nostdin -v error -f lavfi -i sine=f=440:d=1.5 -ar 44100 -y " +
                               shellquote(shortTrack)),
              0);
    const std::string junk = (dir.root() / "junk.mp3").string();
    testsupport::writefile(junk, std::string(4000, 'x'));
    const std::string text = (dir.root() / "notes.txt").string();
    testsupport::writefile(text, "not audio");
    const std::string gone = (dir.root() / "gone.mp3").string();

    ovra::Canceler_normal canceler;
    const TrackPicture tooShort = loadTrackPicture(shortTrack.c_str(), canceler);
    EXPECT_EQ(nopicturewords(tooShort).rfind("No picture: Too short to analyse (1.5", 0), 0u)
        << nopicturewords(tooShort);

    EXPECT_EQ(nopicturewords(loadTrackPicture(gone.c_str(), canceler)), "No picture: File not found: " + gone);
    EXPECT_EQ(nopicturewords(loadTrackPicture(text.c_str(), canceler)), "No picture: Not an audio file");
    const TrackPicture damaged = loadTrackPicture(junk.c_str(), canceler);
    EXPECT_EQ(nopicturewords(damaged),
              "No picture: The decoder (FFmpeg) could not open the file: " + damaged.fresh.decoderReason);
    EXPECT_FALSE(damaged.fresh.decoderReason.empty());

    // A row says the same for the same causes; its log line is only the fallback.
    TrackResult row;
    row.path = shortTrack;
    row.reason = "Track too short (1.500 s).";
    row.cause = tooShort.fresh.cause;
    row.seconds = tooShort.fresh.seconds;
    EXPECT_EQ("No picture: " + trackproblemwords(row), nopicturewords(tooShort));
    row.cause = AnalysisCause::decodeError;
    EXPECT_EQ(trackproblemwords(row), row.reason);
    row.fileError = fileproblem(gone.c_str(), ENOENT);
    EXPECT_EQ(trackproblemwords(row), "File not found: " + shortTrack);
}
