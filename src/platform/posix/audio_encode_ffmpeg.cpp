// The Linux sink's audio stream: FFmpeg's own AAC encoder fed with 16-bit
// PCM, each chunk placed on the video's timeline.
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "platform/posix/media_sink_ffmpeg.h"
#include "screenrecorder/audio_timeline.h"

namespace {

constexpr int64_t kAudioBitRate = 128000;

int posix_fail_plain(char *err, std::size_t cap, const char *message) {
    std::snprintf(err, cap, "%s", message);
    return -1;
}

int posix_send_audio_frame(posix_ffmpeg_sink *s) {
    s->audio_frame->pts = s->audio_pts;
    const int rc = posix_encode(s, s->audio, s->audio_stream, s->audio_frame);
    s->audio_pts += s->audio_frame->nb_samples;
    s->audio_filled = 0;
    return rc;
}

// Appends `samples` sample frames of 16-bit stereo PCM to the timeline, or
// silence when `pcm` is null, sending every encoder frame that fills up.
int posix_append_audio(posix_ffmpeg_sink *s, const uint8_t *pcm, int64_t samples) {
    while (samples > 0) {
        if (s->audio_filled == 0 && av_frame_make_writable(s->audio_frame) < 0) {
            return -1;
        }
        const int64_t room = s->audio_frame->nb_samples - s->audio_filled;
        const int take = static_cast<int>(samples < room ? samples : room);
        auto *left = reinterpret_cast<float *>(s->audio_frame->data[0]) + s->audio_filled;
        auto *right = reinterpret_cast<float *>(s->audio_frame->data[1]) + s->audio_filled;
        if (pcm == nullptr) {
            std::memset(left, 0, static_cast<std::size_t>(take) * sizeof *left);
            std::memset(right, 0, static_cast<std::size_t>(take) * sizeof *right);
        } else {
            for (int i = 0; i < take; ++i) {
                int16_t l = 0;
                int16_t r = 0;
                std::memcpy(&l, pcm, sizeof l);
                std::memcpy(&r, pcm + 2, sizeof r);
                left[i] = static_cast<float>(l) * (1.0f / 32768.0f);
                right[i] = static_cast<float>(r) * (1.0f / 32768.0f);
                pcm += kAudioBytesPerFrame;
            }
        }
        s->audio_filled += take;
        samples -= take;
        if (s->audio_filled == s->audio_frame->nb_samples && posix_send_audio_frame(s) < 0) {
            return -1;
        }
    }
    return 0;
}

// Samples on the timeline so far: those sent and those waiting in the frame.
int64_t posix_audio_written(const posix_ffmpeg_sink *s) {
    return s->audio_pts + s->audio_filled;
}

} // namespace

int posix_sink_add_audio(void *sink, char *err, std::size_t cap) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    const AVCodec *codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        return posix_fail_plain(err, cap, "avcodec_find_encoder_by_name failed: no aac encoder");
    }
    s->audio_stream = avformat_new_stream(s->format, nullptr);
    s->audio = avcodec_alloc_context3(codec);
    if (s->audio_stream == nullptr || s->audio == nullptr) {
        return posix_fail(err, cap, s->audio == nullptr ? "avcodec_alloc_context3" : "avformat_new_stream",
                          AVERROR(ENOMEM));
    }
    AVCodecContext *c = s->audio;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP; // the only input FFmpeg's AAC encoder takes
    c->sample_rate = kAudioRate;
    c->time_base = AVRational{1, kAudioRate};
    c->bit_rate = kAudioBitRate;
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    int rc = av_channel_layout_copy(&c->ch_layout, &stereo);
    if (rc < 0) {
        return posix_fail(err, cap, "av_channel_layout_copy", rc);
    }
    if ((s->format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) {
        return posix_fail(err, cap, "avcodec_open2(aac)", rc);
    }
    rc = avcodec_parameters_from_context(s->audio_stream->codecpar, c);
    if (rc < 0) {
        return posix_fail(err, cap, "avcodec_parameters_from_context", rc);
    }
    s->audio_stream->time_base = c->time_base;

    s->audio_frame = av_frame_alloc();
    if (s->audio_frame == nullptr) {
        return posix_fail(err, cap, "av_frame_alloc", AVERROR(ENOMEM));
    }
    s->audio_frame->format = c->sample_fmt;
    s->audio_frame->sample_rate = c->sample_rate;
    s->audio_frame->nb_samples = c->frame_size;
    rc = av_channel_layout_copy(&s->audio_frame->ch_layout, &c->ch_layout);
    if (rc >= 0) {
        rc = av_frame_get_buffer(s->audio_frame, 0);
    }
    if (rc < 0) {
        return posix_fail(err, cap, "av_frame_get_buffer", rc);
    }
    return 0;
}

// The encoder's frames are stamped by their count of samples, and the video
// by frame number at 1 / fps. Each chunk is put where its frame begins on that
// timeline (the frame's time, read as the video's stamp reads it), filling
// what is missing before it with silence; a chunk whose place the track has
// already passed follows on directly: no sample handed in is dropped or moved.
sink_write posix_sink_write_audio(void *sink, const uint8_t *pcm, std::size_t bytes, int64_t index, int64_t,
                                  int64_t) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    const int64_t samples = static_cast<int64_t>(bytes / static_cast<std::size_t>(kAudioBytesPerFrame));
    if (posix_append_audio(s, nullptr, audio_silence_before(index, s->fps, posix_audio_written(s))) < 0 ||
        posix_append_audio(s, pcm, samples) < 0) {
        return sink_write::failed;
    }
    s->audio_end = audio_frame_start(index + 1, s->fps);
    return sink_write::ok;
}

void posix_audio_flush(posix_ffmpeg_sink *s) {
    // The track lasts until the last frame ends, and the encoder
    // takes a short last frame.
    posix_append_audio(s, nullptr, s->audio_end - posix_audio_written(s));
    if (s->audio_filled > 0) {
        s->audio_frame->nb_samples = s->audio_filled;
        posix_send_audio_frame(s);
    }
    posix_encode(s, s->audio, s->audio_stream, nullptr);
}
