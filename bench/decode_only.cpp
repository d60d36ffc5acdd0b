// Decodes audio files with FFmpeg's libraries and does nothing else: the
// baseline that the analysis is measured against.
//     tempix-bench-decode [--tempix] FILE...
// Prints the frames decoded per file. Interleaved signed 16-bit at the source
// rate, as the program's decoder delivers them. With --tempix the files are
// read through the program's own decoder and down-mix instead, in the
// analysis's chunks.
#include "audio/SimpleSoundFile_AV.h"
#include "audio/SoundStreamMono.h"

#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

static long long decodefile(const char* path)
{
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path, nullptr, nullptr) < 0)
        return -1;
    long long frames = -1;
    AVCodecContext* codec = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<int16_t> out;
    int index = -1;
    if (avformat_find_stream_info(format, nullptr) >= 0)
        index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index >= 0) {
        AVCodecParameters* par = format->streams[index]->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
        codec = decoder ? avcodec_alloc_context3(decoder) : nullptr;
        if (codec && avcodec_parameters_to_context(codec, par) >= 0 && avcodec_open2(codec, decoder, nullptr) >= 0 &&
            swr_alloc_set_opts2(&swr, &par->ch_layout, AV_SAMPLE_FMT_S16, par->sample_rate, &par->ch_layout,
                                codec->sample_fmt, par->sample_rate, 0, nullptr) >= 0 &&
            swr_init(swr) >= 0) {
            frames = 0;
            auto drain = [&] {
                while (avcodec_receive_frame(codec, frame) >= 0) {
                    out.resize(size_t(frame->nb_samples) * size_t(par->ch_layout.nb_channels) + 64);
                    uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(out.data())};
                    int made = swr_convert(swr, planes, frame->nb_samples,
                                           const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
                    if (made > 0)
                        frames += made;
                    av_frame_unref(frame);
                }
            };
            while (av_read_frame(format, packet) >= 0) {
                if (packet->stream_index == index) {
                    avcodec_send_packet(codec, packet);
                    drain();
                }
                av_packet_unref(packet);
            }
            avcodec_send_packet(codec, nullptr);
            drain();
        }
    }
    swr_free(&swr);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return frames;
}

static long long readthrough(const char* path)
{
    ovra::SimpleSoundFile_AV file(path);
    if (!file.isopen() || file.channels() > 2)
        return -1;
    ovra::SoundStreamMono mix(&file, false);
    ovra::SimpleSoundStream& stream = file.channels() == 1 ? static_cast<ovra::SimpleSoundStream&>(file) : mix;
    const long long length = stream.length();
    std::vector<float> chunk(16384);
    for (long long left = length; left > 0;) {
        const uint32_t n = uint32_t(std::min<long long>(left, 16384));
        stream.read(n, 1, chunk.data());
        left -= n;
    }
    return length;
}

int main(int argc, char** argv)
{
    av_log_set_level(AV_LOG_QUIET);
    int status = 0;
    const bool tempix = argc > 1 && std::strcmp(argv[1], "--tempix") == 0;
    for (int i = tempix ? 2 : 1; i < argc; ++i) {
        long long frames = tempix ? readthrough(argv[i]) : decodefile(argv[i]);
        std::printf("%s: %lld frames\n", argv[i], frames);
        if (frames < 0)
            status = 1;
    }
    return status;
}
