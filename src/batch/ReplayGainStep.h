// ReplayGain in a batch: a track's values staged with the rest of its tag,
// and the album pass after the batch's last track, which writes the album
// values once every track of each album has been measured.
#pragma once
#include "batch/BatchLog.h"
#include "batch/BatchOptions.h"
#include "batch/TrackHooks.h"
#include "batch/TrackState.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ovra::tempix {

// Stages the track's measured ReplayGain in its tag, unless the tag holds it
// already or another program's values stay.
void stagereplaygain(TrackState& track, const BatchOptions& options, BatchLog& log);

class AlbumGains {
public:
    AlbumGains(BatchLog& log, TrackHooks& hooks) : log(log), hooks(hooks) {}

    void clear();
    // The album a track belongs to: its folder, artist and album (empty
    // without an album name).
    static std::string key(const char* path, ovra::Tag& tag);
    // A track of an album, measured or not (yet); from any job.
    void note(const TrackState& track);
    // The album values of every album whose tracks were all measured.
    void write(const BatchOptions& options, ovra::Canceler& canceler);

private:
    // Each track's path and meter (null when the track was not measured).
    struct AlbumTrack {
        std::string path;
        std::shared_ptr<const LoudnessMeter> meter;
    };
    using Album = std::pair<std::string, std::vector<AlbumTrack>>;
    void writeAlbum(const Album& album, const BatchOptions& options, ovra::Canceler& canceler, bool& cancelled);

    BatchLog& log;
    TrackHooks& hooks;
    std::mutex mutex;
    std::vector<Album> albums; // in the order they were met
};

} // namespace ovra::tempix
