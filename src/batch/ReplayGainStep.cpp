#include "batch/ReplayGainStep.h"
#include "tags/FileTransaction.h"
#include "platform/Threads.h"
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

std::string AlbumGains::key(const char* path, ovra::Tag& tag)
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

void stagereplaygain(TrackState& t, const BatchOptions& options, BatchLog& log)
{
    if (!t.doReplayGain)
        return;
    if (!t.loudness.measured) {
        log.line("No loudness could be measured in this track (it is silent): no ReplayGain tags written.\n");
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
            log.fail("Could not set ReplayGain in tag: error code %d.\n", code);
            log.errorwords(code);
        }
    }
}

void AlbumGains::note(const TrackState& t)
{
    std::lock_guard<std::mutex> lock(mutex);
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

void AlbumGains::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    albums.clear();
}

void AlbumGains::write(const BatchOptions& options, ovra::Canceler& canceler)
{
    std::vector<Album> done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done.swap(albums);
    }
    bool cancelled = false;
    for (const Album& album : done) {
        if (cancelled || canceler.iscancelled())
            return;
        writeAlbum(album, options, canceler, cancelled);
    }
}

void AlbumGains::writeAlbum(const Album& album, const BatchOptions& options, ovra::Canceler& canceler, bool& cancelled)
{
    const auto& [name, members] = album;
    AlbumLoudness whole;
    size_t measured = 0;
    for (const AlbumTrack& m : members) {
        if (m.meter) {
            whole.add(m.meter);
            ++measured;
        }
    }
    if (measured == 0)
        return; // nothing of it was measured: its values stay as they are
    if (measured != members.size()) {
        log.line("Album gain of %s not written: not every track of the album was measured in this batch "
                 "(--overwrite-volume measures them all).\n",
                 BatchLog::logged(name.c_str()).c_str());
        return;
    }
    const LoudnessMeasure m = whole.measure();
    if (!m.measured)
        return;
    ovra::ReplayGain wanted;
    wanted.albumGain = replaygaindb(m.lufs);
    wanted.albumPeak = peakof(m, options);
    log.line("Album gain of %s: %s, peak %s (%zu tracks).\n", BatchLog::logged(name.c_str()).c_str(),
             ovra::replaygaintext(*wanted.albumGain).c_str(), ovra::replaygainpeaktext(*wanted.albumPeak).c_str(),
             members.size());
    for (const AlbumTrack& member : members) {
        const char* path = member.path.c_str();
        const std::string shown = BatchLog::logged(path);
        if (options.dryRun) {
            log.line("Would write the album gain to %s.\n", shown.c_str());
            continue;
        }
        // A track another Tempix is writing is waited for; a cancel ends the pass.
        ovra::TrackLock lock;
        if (lock.lock(path, nullptr, [&] { return canceler.iscancelled(); }) == ECANCELED) {
            cancelled = true;
            return;
        }
        try {
            std::unique_ptr<ovra::Tag> tag = hooks.openTrackTag(path);
            const ovra::ReplayGain now = tag->getReplayGain();
            if (!options.overwritevolume && now.albumGain && !holds(now, wanted, keepspeaks(path))) {
                log.line("Album gain of another program kept in %s.\n", shown.c_str());
                continue;
            }
            if (holds(now, wanted, keepspeaks(path)))
                continue;
            tag->setReplayGain(wanted);
            tag->close();
            log.line("Album gain written to %s.\n", shown.c_str());
        } catch (int code) {
            log.line("Could not write the album gain to %s: error code %d.\n", shown.c_str(), code);
            log.errorwords(code);
            log.halfwritten();
            ++log.errors();
        }
    }
}

} // namespace ovra::tempix
