// The generated test material and an independent decoder to check against.
#pragma once
#include "support/Process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ovra::test {

inline std::string materialpath(const std::string& name) { return std::string(TEMPIX_MATERIAL_DIR) + "/" + name; }

using testsupport::runcommand;
using testsupport::shellquote;

// The file as the ffmpeg program decodes it: interleaved signed 16-bit.
inline std::vector<int16_t> ffmpegdecode(const std::string& path)
{
    std::string bytes = runcommand("ffmpeg -nostdin -v quiet -i " + shellquote(path) + " -f s16le -");
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(uint16_t(uint8_t(bytes[2 * i])) | uint16_t(uint8_t(bytes[2 * i + 1])) << 8);
    return samples;
}

// Entries of the first audio stream as ffprobe reports them ("2,44100" for
// the channels and the sample rate).
inline std::string ffprobestream(const std::string& path, const std::string& entries = "channels,sample_rate")
{
    std::string text = runcommand("ffprobe -v quiet -select_streams a:0 -show_entries stream=" + entries +
                                  " -of csv=p=0:nk=1 " + shellquote(path));
    while (!text.empty() && (text.back() == '\n' || text.back() == ','))
        text.pop_back();
    return text;
}

// The tracks that decode.
inline const char* const DECODABLE_TRACKS[] = {"beat128_stereo44_lame.mp3",
                                               "beat100_mono44_aac.m4a",
                                               "beat174_stereo48_aac.m4a",
                                               "beat85_mono48_lame.mp3",
                                               "beat140_stereo44_noxing.mp3",
                                               "beat64_stereo48_ffmpeg.mp3",
                                               "three_channels.m4a",
                                               "short_3s.mp3",
                                               "four_seconds.mp3",
                                               "silent_10s.mp3",
                                               "truncated.mp3"};

} // namespace ovra::test
