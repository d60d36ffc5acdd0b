#include "audio/SimpleSoundFile_AV.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/intreadwrite.h>
#include <libswresample/swresample.h>
}

namespace ovra {

namespace {

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ResamplerCloser {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;

// Opens a local file only: a name such as "concat:a|b" or "http://..." is a
// file name here, never a protocol.
// FFmpeg's words for a status.
std::string avwords(int status)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    if (av_strerror(status, text, sizeof text) != 0)
        return "error " + std::to_string(status);
    return text;
}

FormatPtr openformat(const char* path, std::string& why)
{
    std::string url = std::string("file:") + path;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    int status = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) {
        why = avwords(status);
        return nullptr;
    }
    FormatPtr format(raw);
    // The stream is read from start to end: a seek index of every packet (up
    // to a megabyte for a long track) would only cost memory.
    format->max_index_size = 16384;
    if ((status = avformat_find_stream_info(format.get(), nullptr)) < 0) {
        why = "no stream could be read (" + avwords(status) + ")";
        return nullptr;
    }
    return format;
}

int firstaudiostream(AVFormatContext* format)
{
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            return int(i);
    }
    return -1;
}

CodecPtr opencodec(const AVCodecParameters* parameters)
{
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return nullptr;
    CodecPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0)
        return nullptr;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return nullptr;
    return context;
}

// The frames a decoder delivers for the stream: the packets' durations less
// the encoder delay and padding that the demuxer marks for skipping, which the
// decoder drops as well. -1 when a packet has no duration to go by.
int64_t countframes(AVFormatContext* format, int index, int sampleRate)
{
    AVStream* stream = format->streams[index];
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return -1;
    int64_t duration = 0;
    int64_t skipped = 0;
    while (av_read_frame(format, packet.get()) >= 0) {
        if (packet->stream_index == index) {
            if (packet->duration <= 0) {
                av_packet_unref(packet.get());
                return -1;
            }
            duration += packet->duration;
            size_t size = 0;
            const uint8_t* skip = av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
            if (skip && size >= 8)
                skipped += int64_t(AV_RL32(skip)) + int64_t(AV_RL32(skip + 4));
        }
        av_packet_unref(packet.get());
    }
    int64_t frames = av_rescale_q(duration, stream->time_base, AVRational{1, sampleRate}) - skipped;
    return std::max<int64_t>(frames, 0);
}

// The slow way, for containers whose packets carry no durations: decode it all.
int64_t countbydecoding(AVFormatContext* format, int index)
{
    CodecPtr codec = opencodec(format->streams[index]->codecpar);
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!codec || !packet || !frame)
        return -1;
    int64_t frames = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(codec.get(), frame.get()) >= 0) {
            frames += frame->nb_samples;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format, packet.get()) >= 0) {
        if (packet->stream_index == index) {
            avcodec_send_packet(codec.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
    return frames;
}

} // namespace

struct SimpleSoundFile_AV::Decoder {
    FormatPtr format;
    CodecPtr codec;
    ResamplerPtr resampler;
    PacketPtr packet;
    FramePtr frame;
    int index = -1;
    int channels = 0;
    int sampleRate = 0;
    AVChannelLayout outLayout{};
    // What the resampler was set up for.
    AVChannelLayout inLayout{};
    int inFormat = -1;
    int inRate = 0;

    // Decoded, interleaved frames not yet handed out.
    std::vector<int16_t> pending;
    size_t pendingStart = 0; // in frames
    int64_t decodedFrames = 0;
    int64_t limit = 0; // frames beyond the length are dropped
    int64_t lastPacketFrames = 0;
    bool inputDone = false;  // the demuxer is at its end and the decoder flushed
    bool outputDone = false; // the decoder has given its last frame
    std::vector<int16_t> conversion;

    ~Decoder()
    {
        av_channel_layout_uninit(&outLayout);
        av_channel_layout_uninit(&inLayout);
    }

    size_t pendingframes() const { return pending.size() / size_t(channels) - pendingStart; }

    int setupresampler()
    {
        AVChannelLayout* in = &frame->ch_layout;
        AVChannelLayout fallback{};
        if (in->nb_channels <= 0) {
            av_channel_layout_default(&fallback, channels);
            in = &fallback;
        }
        bool same = resampler && inFormat == frame->format && inRate == frame->sample_rate &&
            av_channel_layout_compare(&inLayout, in) == 0;
        if (same)
            return 0;
        SwrContext* raw = nullptr;
        int status = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_S16, sampleRate, in,
                                         AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        resampler.reset(raw);
        if (status >= 0)
            status = swr_init(resampler.get());
        av_channel_layout_uninit(&inLayout);
        if (status >= 0) {
            av_channel_layout_copy(&inLayout, in);
            inFormat = frame->format;
            inRate = frame->sample_rate;
        } else {
            resampler.reset();
        }
        av_channel_layout_uninit(&fallback);
        return status;
    }

    // Appends the frame's samples as interleaved 16-bit, up to the length.
    int takeframe()
    {
        int status = setupresampler();
        if (status < 0)
            return status;
        int capacity = swr_get_out_samples(resampler.get(), frame->nb_samples);
        if (capacity <= 0)
            return 0;
        conversion.resize(size_t(capacity) * size_t(channels));
        uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(conversion.data())};
        int made = swr_convert(resampler.get(), outPlanes, capacity, const_cast<const uint8_t**>(frame->extended_data),
                               frame->nb_samples);
        if (made < 0)
            return made;
        keep(conversion.data(), size_t(made));
        return 0;
    }

    // Appends frames from source, or silence when source is null, up to the length.
    void keep(const int16_t* source, size_t frames)
    {
        int64_t room = limit - decodedFrames;
        size_t kept = size_t(std::clamp<int64_t>(room, 0, int64_t(frames)));
        if (pendingStart > 0 && pendingStart * 2 >= pending.size() / size_t(channels)) {
            pending.erase(pending.begin(), pending.begin() + ptrdiff_t(pendingStart * size_t(channels)));
            pendingStart = 0;
        }
        if (source)
            pending.insert(pending.end(), source, source + kept * size_t(channels));
        else
            pending.insert(pending.end(), kept * size_t(channels), int16_t(0));
        decodedFrames += int64_t(frames);
    }

    // Decodes until at least want frames wait or the stream has ended. Data
    // that cannot be decoded becomes silence of its own duration, so what
    // follows keeps its place in time; the first error met is returned.
    int fill(size_t want)
    {
        int firstError = 0;
        auto failed = [&](int status, int64_t silentFrames) {
            if (firstError == 0)
                firstError = status;
            keep(nullptr, size_t(std::max<int64_t>(silentFrames, 0)));
        };
        int receiveErrors = 0;
        while (pendingframes() < want && !outputDone) {
            int status = avcodec_receive_frame(codec.get(), frame.get());
            if (status >= 0) {
                receiveErrors = 0;
                const int samples = frame->nb_samples;
                status = takeframe();
                av_frame_unref(frame.get());
                if (status < 0)
                    failed(status, samples);
                continue;
            }
            if (status == AVERROR_EOF) {
                outputDone = true;
                break;
            }
            if (status != AVERROR(EAGAIN)) {
                failed(status, lastPacketFrames);
                // A decoder that keeps failing without taking input is finished.
                if (++receiveErrors > 64)
                    outputDone = true;
                continue;
            }
            if (inputDone) {
                outputDone = true;
                break;
            }
            status = av_read_frame(format.get(), packet.get());
            if (status < 0) {
                // The end of the file, or a read error after which nothing more can
                // be trusted: flush what the decoder holds.
                inputDone = true;
                avcodec_send_packet(codec.get(), nullptr);
                if (status != AVERROR_EOF && firstError == 0)
                    firstError = status;
                continue;
            }
            if (packet->stream_index != index) {
                av_packet_unref(packet.get());
                continue;
            }
            lastPacketFrames =
                av_rescale_q(packet->duration, format->streams[index]->time_base, AVRational{1, sampleRate});
            // Output is drained before each packet, so the decoder always takes it.
            status = avcodec_send_packet(codec.get(), packet.get());
            av_packet_unref(packet.get());
            if (status < 0)
                failed(status, lastPacketFrames);
        }
        return firstError;
    }

    // Hands out up to frames - at frames of the first channels as planar
    // floats (the 16-bit value times 2^-15) into out from frame at on; out
    // holds frames frames per channel. Returns how many it handed out.
    size_t take(float* out, size_t frames, size_t at, int outChannels)
    {
        const size_t n = std::min(frames - at, pendingframes());
        const size_t stride = size_t(channels);
        const int16_t* from = pending.data() + pendingStart * stride;
        // A 16-bit value is exact in single precision and 2^-15 is a power of
        // two, so the product in single precision equals the double one narrowed.
        constexpr float scale = 3.0517578125e-05f;
        if (stride == 2 && outChannels == 2) {
            float* left = out + at;
            float* right = out + frames + at;
            for (size_t i = 0; i < n; ++i) {
                left[i] = float(from[2 * i]) * scale;
                right[i] = float(from[2 * i + 1]) * scale;
            }
        } else {
            for (int c = 0; c < outChannels; ++c) {
                float* to = out + size_t(c) * frames + at;
                const int16_t* sample = from + c;
                for (size_t i = 0; i < n; ++i)
                    to[i] = float(sample[i * stride]) * scale;
            }
        }
        pendingStart += n;
        if (pendingStart * stride == pending.size()) {
            pending.clear();
            pendingStart = 0;
        }
        return n;
    }
};

SimpleSoundFile_AV::SimpleSoundFile_AV(const char* path)
{
    if (!path || !*path) {
        failure = "no file name";
        return;
    }
    auto d = std::make_unique<Decoder>();

    int64_t counted = -1;
    {
        FormatPtr counting = openformat(path, failure);
        if (!counting)
            return;
        int index = firstaudiostream(counting.get());
        if (index < 0) {
            failure = "the file holds no audio stream";
            return;
        }
        int sampleRate = counting->streams[index]->codecpar->sample_rate;
        if (sampleRate <= 0) {
            failure = "the audio stream has no sample rate";
            return;
        }
        // Ogg packet durations are estimates (Vorbis' block sizes, Opus' end
        // trimming), off by up to a second: such streams are counted by
        // decoding them.
        const bool estimated = std::strcmp(counting->iformat->name, "ogg") == 0;
        counted = estimated ? -1 : countframes(counting.get(), index, sampleRate);
        if (counted < 0) {
            counting = openformat(path, failure);
            if (!counting)
                return;
            counted = countbydecoding(counting.get(), index);
        }
    }
    if (counted <= 0) {
        failure = "the audio stream holds no frames";
        return;
    }

    d->format = openformat(path, failure);
    if (!d->format)
        return;
    d->index = firstaudiostream(d->format.get());
    if (d->index < 0)
        return;
    const AVCodecParameters* parameters = d->format->streams[d->index]->codecpar;
    d->channels = parameters->ch_layout.nb_channels;
    d->sampleRate = parameters->sample_rate;
    if (d->channels <= 0 || d->sampleRate <= 0)
        return;
    if (av_channel_layout_copy(&d->outLayout, &parameters->ch_layout) < 0)
        return;
    if (d->outLayout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_uninit(&d->outLayout);
        av_channel_layout_default(&d->outLayout, d->channels);
    }
    d->codec = opencodec(parameters);
    d->packet.reset(av_packet_alloc());
    d->frame.reset(av_frame_alloc());
    if (!d->codec) {
        failure = std::string("no decoder for its codec (") + avcodec_get_name(parameters->codec_id) + ")";
        return;
    }
    if (!d->packet || !d->frame) {
        failure = "not enough memory";
        return;
    }
    d->limit = counted;

    decoder = std::move(d);
    rate = decoder->sampleRate;
    channelCount = decoder->channels;
    frameLength = counted;
    framePosition = 0;
    open = true;
}

SimpleSoundFile_AV::~SimpleSoundFile_AV() = default;

int32_t SimpleSoundFile_AV::read(uint32_t frames, int32_t channels, float* out)
{
    int32_t nch = this->channels();
    if (frames == 0 || channels < 1 || nch < channels)
        return -1;
    if (!open) {
        std::fill(out, out + size_t(frames) * size_t(channels), 0.0f);
        framePosition += frames;
        return 0;
    }
    // A read that met damaged data still delivers its frames, with silence for
    // what could not be decoded, and reports the decoder's first error. Frames
    // go out as they are decoded, so only the rest of one decoded packet waits.
    int status = 0;
    size_t done = decoder->take(out, frames, 0, channels);
    while (done < frames && !decoder->outputDone) {
        const int error = decoder->fill(1);
        if (status == 0)
            status = error;
        done += decoder->take(out, frames, done, channels);
    }
    for (int c = 0; c < channels; ++c)
        std::fill(out + size_t(c) * frames + done, out + size_t(c + 1) * frames, 0.0f);
    framePosition += frames;
    if (framePosition >= uint64_t(frameLength)) {
        open = false;
        decoder->pending.clear();
        decoder->pendingStart = 0;
    }
    return status;
}

int32_t SimpleSoundFile_AV::seek(int64_t frame)
{
    if (!decoder || frame < 0)
        return -1;
    Decoder& d = *decoder;
    AVStream* stream = d.format->streams[d.index];
    int64_t timestamp = av_rescale_q(frame, AVRational{1, d.sampleRate}, stream->time_base);
    if (stream->start_time != AV_NOPTS_VALUE)
        timestamp += stream->start_time;
    int status = avformat_seek_file(d.format.get(), d.index, INT64_MIN, timestamp, timestamp, 0);
    if (status < 0)
        return status;
    avcodec_flush_buffers(d.codec.get());
    d.pending.clear();
    d.pendingStart = 0;
    d.inputDone = false;
    d.outputDone = false;
    d.decodedFrames = frame;
    return 0;
}

} // namespace ovra
