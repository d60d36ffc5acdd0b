// BatchProcessor's ReplayGain: the track's values staged with the rest of
// its tag, and the album pass after the batch's last track.
#include "batch/BatchProcessor.h"
#include "batch/TrackState.h"
#include "tags/FileTransaction.h"
#include "tags/TrackLock.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <strings.h>
#include <cstdlib>
#include <memory>

namespace ovra::tempix {

namespace {

// Equal as the tags write them: gains to 0.01 dB (or 1/256 dB), peaks to 1e-6.
constexpr double GAIN_STEP = 0.006;
constexpr double PEAK_STEP = 1.5e-6;

bool near(const std::optional<double>& a, const std::optional<double>& b, double step)
{
    return a && b && std::fabs(*a - *b) < step;
}

// Whether the tag already holds what would be written. A tag that keeps no
// peaks (Opus) is compared by its gains alone.
bool holds(const ovra::ReplayGain& now, const ovra::ReplayGain& wanted, bool keepsPeaks)
{
    if (wanted.trackGain && !near(now.trackGain, wanted.trackGain, GAIN_STEP))
        return false;
    if (wanted.albumGain && !near(now.albumGain, wanted.albumGain, GAIN_STEP))
        return false;
    if (keepsPeaks && wanted.trackPeak && !near(now.trackPeak, wanted.trackPeak, PEAK_STEP))
        return false;
    if (keepsPeaks && wanted.albumPeak && !near(now.albumPeak, wanted.albumPeak, PEAK_STEP))
        return false;
    return true;
}

bool keepspeaks(const char* path)
{
    const std::string p = path;
    return !(p.size() >= 5 && strcasecmp(p.c_str() + p.size() - 5, ".opus") == 0);
}

double peakof(const LoudnessMeasure& m, const BatchOptions& options)
{
    return options.truePeak && m.hasTruePeak ? m.truePeak : m.samplePeak;
}

std::string read(ovra::Tag& tag, void (ovra::Tag::*get)(char*, int))
{
    char text[256] = "";
    try {
        (tag.*get)(text, sizeof text);
    } catch (int) {
        text[0] = '\0'; // none: as empty
    }
    text[sizeof text - 1] = '\0';
    return text;
}

} // namespace

std::string BatchProcessor::albumKey(const char* path, ovra::Tag& tag)
{
    const std::string album = read(tag, &ovra::Tag::getAlbum);
    if (album.empty())
        return "";
    char* real = ::realpath(path, nullptr);
    std::string folder = real != nullptr ? real : path;
    std::free(real);
    folder = folder.substr(0, folder.rfind('/'));
    return read(tag, &ovra::Tag::getArtist) + " - " + album + " (" + folder + ")";
}

void BatchProcessor::stageReplayGain(TrackState& t, const BatchOptions& options)
{
    if (!t.doReplayGain)
        return;
    if (!t.loudness.measured) {
        logLine("No loudness could be measured in this track (it is silent): no ReplayGain tags written.\n");
        return;
    }
    ovra::ReplayGain wanted;
    // A track gain another program wrote stays unless the volume may be overwritten.
    if (options.overwritevolume || !t.replayGain.trackGain) {
        wanted.trackGain = replaygaindb(t.loudness.lufs);
        wanted.trackPeak = peakof(t.loudness, options);
    }
    if (wanted.empty() || holds(t.replayGain, wanted, keepspeaks(t.path)))
        return;
    try {
        t.tag->setReplayGain(wanted);
        t.replayGainStaged = true;
        t.tagChanged = true;
        t.replayGainWritten = wanted;
    } catch (int code) {
        if (code != ovra::TAG_ERR_UNSUPPORTED) {
            failTrack("Could not set ReplayGain in tag: error code %d.\n", code);
            logErrorWords(code);
        }
    }
}

void BatchProcessor::noteAlbumTrack(const TrackState& t)
{
    std::lock_guard<std::mutex> lock(albumMutex);
    auto group = std::find_if(albums.begin(), albums.end(), [&](const auto& a) { return a.first == t.album; });
    if (group == albums.end()) {
        albums.emplace_back(t.album, std::vector<AlbumTrack>());
        group = albums.end() - 1;
    }
    for (AlbumTrack& member : group->second) {
        if (member.path == t.path) {
            member.meter = t.meter;
            return;
        }
    }
    group->second.push_back({t.path, t.meter});
}

void BatchProcessor::writeAlbumGains(const BatchOptions& options, ovra::Canceler& canceler)
{
    std::vector<std::pair<std::string, std::vector<AlbumTrack>>> done;
    {
        std::lock_guard<std::mutex> lock(albumMutex);
        done.swap(albums);
    }
    for (const auto& [album, members] : done) {
        if (canceler.iscancelled())
            return;
        AlbumLoudness whole;
        size_t measured = 0;
        for (const AlbumTrack& m : members) {
            if (m.meter) {
                whole.add(m.meter);
                ++measured;
            }
        }
        if (measured == 0)
            continue; // nothing of it was measured: its values stay as they are
        if (measured != members.size()) {
            logLine("Album gain of %s not written: not every track of the album was measured in this batch "
                    "(--overwrite-volume measures them all).\n",
                    logged(album.c_str()).c_str());
            continue;
        }
        const LoudnessMeasure m = whole.measure();
        if (!m.measured)
            continue;
        ovra::ReplayGain wanted;
        wanted.albumGain = replaygaindb(m.lufs);
        wanted.albumPeak = peakof(m, options);
        logLine("Album gain of %s: %s, peak %s (%zu tracks).\n", logged(album.c_str()).c_str(),
                ovra::replaygaintext(*wanted.albumGain).c_str(), ovra::replaygainpeaktext(*wanted.albumPeak).c_str(),
                members.size());
        for (const AlbumTrack& member : members) {
            const char* path = member.path.c_str();
            if (options.dryRun) {
                logLine("Would write the album gain to %s.\n", logged(path).c_str());
                continue;
            }
            // A track another Tempix is writing is waited for; a cancel ends the pass.
            ovra::TrackLock lock;
            if (lock.lock(path, nullptr, [&] { return canceler.iscancelled(); }) == ECANCELED)
                return;
            std::unique_ptr<ovra::Tag> tag;
            try {
                tag.reset(openTrackTag(path));
                const ovra::ReplayGain now = tag->getReplayGain();
                if (!options.overwritevolume && now.albumGain && !holds(now, wanted, keepspeaks(path))) {
                    logLine("Album gain of another program kept in %s.\n", logged(path).c_str());
                    continue;
                }
                if (holds(now, wanted, keepspeaks(path)))
                    continue;
                tag->setReplayGain(wanted);
                tag->close();
                logLine("Album gain written to %s.\n", logged(path).c_str());
            } catch (int code) {
                logLine("Could not write the album gain to %s: error code %d.\n", logged(path).c_str(), code);
                logErrorWords(code);
                const std::string journal = ovra::halfwrittenjournal();
                if (!journal.empty())
                    logLine("The track is half-written: the journal %s keeps its original bytes, and the next "
                            "start of Tempix restores them (tempix-cli --journal lists it).\n",
                            journal.c_str());
                ++errors;
            }
        }
    }
}

} // namespace ovra::tempix
