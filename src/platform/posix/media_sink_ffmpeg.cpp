// The media sink on Linux: the FFmpeg libraries. H.264 (libx264) or HEVC
// (libx265) video fed from BGRA pictures through our own 4:2:0 converter, and FFmpeg's own
// AAC encoder fed with 16-bit PCM, muxed by libavformat into the container
// that the file name asks for (MPEG-4 when libavformat does not know it).
// MPEG-4 files are written as fragments while recording, so that a file cut
// off anywhere plays up to its last whole fragment, and are turned into a
// regular MP4 in place when the recording ends (mp4_finish).
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "mp4_finish/mp4_finish.h"
#include "platform/media_sink.h"
#include "platform/posix/video_convert_yuv.h"
#include "screenrecorder/audio_timeline.h"

namespace {

// x264's speed preset and frame threads, chosen by bench/record-vs-ffmpeg
// on a 2-core machine (see the README).
constexpr char kX264Preset[] = "ultrafast";
constexpr char kX264Threads[] = "2";
constexpr char kX265Preset[] = "ultrafast";
// x265 left to itself keeps its pool nearly idle here and holds frames for
// its look-ahead: one pool thread and one frame thread per core, no
// look-ahead and no B-frames keep 1080p at 30 fps in real time on 2 cores
// (bench/record-vs-ffmpeg).
constexpr unsigned kX265MaxFrameThreads = 4;

// "log-level=none:pools=N:frame-threads=F:rc-lookahead=0:bframes=0"
void posix_x265_params(char *out, std::size_t cap) {
    unsigned cores = std::thread::hardware_concurrency();
    cores = cores == 0 ? 1 : cores;
    const unsigned frame_threads = cores < kX265MaxFrameThreads ? cores : kX265MaxFrameThreads;
    std::snprintf(out, cap, "log-level=none:pools=%u:frame-threads=%u:rc-lookahead=0:bframes=0", cores,
                  frame_threads);
}
constexpr int64_t kAudioBitRate = 128000;
// MPEG-4 while recording: an initial moov without samples, then fragments
// of at most one second (each starts at a keyframe or at the second's end),
// each flushed to the file as soon as it is complete. Keyframes come every
// two seconds at most.
constexpr char kFragmentFlags[] = "+frag_keyframe+empty_moov+delay_moov+default_base_moof+skip_trailer";
constexpr char kFragmentMicroseconds[] = "1000000";
constexpr int kKeyframeSeconds = 2;

struct posix_ffmpeg_sink {
    AVFormatContext *format;
    AVPacket *packet;

    AVCodecContext *video;
    AVStream *video_stream;
    AVFrame *video_frame; // yuv420p, allocated once and reused
    bool have_picture;    // video_frame holds the last picture handed over
    posix_yuv_converter converter;
    int32_t width;
    int32_t height;
    int32_t fps;

    AVCodecContext *audio;
    AVStream *audio_stream;
    AVFrame *audio_frame; // one encoder frame, filled from the PCM chunks
    int audio_filled;     // samples already in audio_frame
    int64_t audio_pts;    // pts (in samples) of audio_frame
    int64_t audio_end;    // where the last chunk's frame ends, in samples

    bool header_written;
    int write_error; // the muxer's first failure, 0 while every write worked

    bool fragmented;        // an MPEG-4 file written as fragments
    char path[1024];        // the file, for finishing it after the muxer closed it
    int64_t frames_in_file; // after finalize; -1 unknown
};

void posix_error_text(int code, char *out, std::size_t cap) {
    if (av_strerror(code, out, cap) < 0) {
        std::snprintf(out, cap, "error %d", code);
    }
}

// "<call> failed: <FFmpeg's text>"
int posix_fail(char *err, std::size_t cap, const char *call, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    posix_error_text(code, text, sizeof text);
    std::snprintf(err, cap, "%s failed: %s", call, text);
    return -1;
}

int posix_fail_plain(char *err, std::size_t cap, const char *message) {
    std::snprintf(err, cap, "%s", message);
    return -1;
}

// Hands every packet the encoder has ready to the muxer. Muxer results are
// not examined: a write error leaves the rest of the recording to go on.
int posix_drain(posix_ffmpeg_sink *s, AVCodecContext *encoder, AVStream *stream) {
    for (;;) {
        const int rc = avcodec_receive_packet(encoder, s->packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return 0;
        }
        if (rc < 0) {
            return rc;
        }
        av_packet_rescale_ts(s->packet, encoder->time_base, stream->time_base);
        s->packet->stream_index = stream->index;
        const int written = av_interleaved_write_frame(s->format, s->packet);
        if (written < 0) {
            // A failed write (a full disk) leaves the file unusable; the
            // recording cannot go on.
            if (s->write_error == 0) {
                s->write_error = written;
            }
            return written;
        }
    }
}

int posix_encode(posix_ffmpeg_sink *s, AVCodecContext *encoder, AVStream *stream, const AVFrame *frame) {
    const int rc = avcodec_send_frame(encoder, frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        return rc;
    }
    return posix_drain(s, encoder, stream);
}

void posix_release(posix_ffmpeg_sink *s) {
    s->have_picture = false;
    posix_yuv_close(&s->converter);
    av_frame_free(&s->video_frame);
    av_frame_free(&s->audio_frame);
    avcodec_free_context(&s->video);
    avcodec_free_context(&s->audio);
    av_packet_free(&s->packet);
    if (s->format != nullptr) {
        if (s->format->pb != nullptr && (s->format->oformat->flags & AVFMT_NOFILE) == 0) {
            avio_closep(&s->format->pb);
        }
        avformat_free_context(s->format);
        s->format = nullptr;
    }
    s->video_stream = nullptr;
    s->audio_stream = nullptr;
    s->header_written = false;
}

void *posix_sink_create() {
    // The library prints nothing: FFmpeg's and the encoders' own messages are
    // silenced once, before the first job touches FFmpeg.
    static const bool quiet = (av_log_set_level(AV_LOG_QUIET), true);
    (void)quiet;
    return new (std::nothrow) posix_ffmpeg_sink{};
}

int posix_sink_startup(void *, char *, std::size_t) {
    return 0;
}

// True when the muxer cannot carry the codec (0 means "known not to").
bool posix_cannot_carry(const AVOutputFormat *format, AVCodecID codec) {
    return avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 0;
}

int posix_sink_open(void *sink, const char *path, char *err, std::size_t cap) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    const AVOutputFormat *format = av_guess_format(nullptr, path, nullptr);
    // A name libavformat does not know, or a container that cannot hold these
    // streams, gets MPEG-4, as the Windows writer's ".mp4" would.
    if (format == nullptr || (format->flags & AVFMT_NOFILE) != 0 ||
        posix_cannot_carry(format, AV_CODEC_ID_H264) || posix_cannot_carry(format, AV_CODEC_ID_HEVC) ||
        posix_cannot_carry(format, AV_CODEC_ID_AAC)) {
        format = av_guess_format("mp4", nullptr, nullptr);
    }
    int rc = avformat_alloc_output_context2(&s->format, format, nullptr, path);
    if (rc < 0) {
        return posix_fail(err, cap, "avformat_alloc_output_context2", rc);
    }
    s->fragmented = std::strcmp(s->format->oformat->name, "mp4") == 0;
    if (s->fragmented) {
        // Every finished fragment goes to the file at once.
        s->format->flush_packets = 1;
        std::snprintf(s->path, sizeof s->path, "%s", path);
    }
    s->packet = av_packet_alloc();
    if (s->packet == nullptr) {
        return posix_fail(err, cap, "av_packet_alloc", AVERROR(ENOMEM));
    }
    // The path is a file name, whatever it holds: "file:" keeps libavformat
    // from reading "pipe:1.mp4" or "rec-12:30.mp4" as a protocol and a target.
    // Job paths hold at most 1023 bytes, so the URL is never cut.
    char url[sizeof "file:" + 1024];
    std::snprintf(url, sizeof url, "file:%s", path);
    rc = avio_open(&s->format->pb, url, AVIO_FLAG_WRITE);
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE];
        posix_error_text(rc, text, sizeof text);
        std::snprintf(err, cap, "avio_open failed for '%s': %s", path, text);
        return -1;
    }
    return 0;
}

int posix_sink_add_video(void *sink, const video_stream_desc *desc, char *err, std::size_t cap) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    const char *encoder_name = desc->hevc ? "libx265" : "libx264";
    const AVCodec *codec = avcodec_find_encoder_by_name(encoder_name);
    if (codec == nullptr) {
        std::snprintf(err, cap, "avcodec_find_encoder_by_name failed: no %s encoder", encoder_name);
        return -1;
    }
    s->video_stream = avformat_new_stream(s->format, nullptr);
    s->video = avcodec_alloc_context3(codec);
    if (s->video_stream == nullptr || s->video == nullptr) {
        return posix_fail(err, cap, s->video == nullptr ? "avcodec_alloc_context3" : "avformat_new_stream",
                          AVERROR(ENOMEM));
    }
    AVCodecContext *c = s->video;
    c->width = desc->width;
    c->height = desc->height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, desc->fps};
    c->framerate = AVRational{desc->fps, 1};
    c->bit_rate = static_cast<int64_t>(desc->bitrate_bps);
    c->gop_size = kKeyframeSeconds * desc->fps;
    c->sample_aspect_ratio = AVRational{1, 1};
    c->field_order = AV_FIELD_PROGRESSIVE;
    // The conversion uses BT.601 coefficients into limited range.
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_range = AVCOL_RANGE_MPEG;
    if ((s->format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary *options = nullptr;
    if (desc->hevc) {
        av_dict_set(&options, "preset", kX265Preset, 0);
        char params[128];
        posix_x265_params(params, sizeof params);
        av_dict_set(&options, "x265-params", params, 0);
    } else {
        av_dict_set(&options, "preset", kX264Preset, 0);
        av_dict_set(&options, "threads", kX264Threads, 0);
    }
    int rc = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (rc < 0) {
        char call[64];
        std::snprintf(call, sizeof call, "avcodec_open2(%s)", encoder_name);
        return posix_fail(err, cap, call, rc);
    }
    rc = avcodec_parameters_from_context(s->video_stream->codecpar, c);
    if (rc < 0) {
        return posix_fail(err, cap, "avcodec_parameters_from_context", rc);
    }
    if (desc->hevc) {
        s->video_stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    }
    s->video_stream->time_base = c->time_base;
    s->video_stream->avg_frame_rate = c->framerate;
    s->video_stream->r_frame_rate = c->framerate;
    s->video_stream->sample_aspect_ratio = c->sample_aspect_ratio;

    s->video_frame = av_frame_alloc();
    if (s->video_frame == nullptr) {
        return posix_fail(err, cap, "av_frame_alloc", AVERROR(ENOMEM));
    }
    s->video_frame->format = c->pix_fmt;
    s->video_frame->width = c->width;
    s->video_frame->height = c->height;
    rc = av_frame_get_buffer(s->video_frame, 0);
    if (rc < 0) {
        return posix_fail(err, cap, "av_frame_get_buffer", rc);
    }
    if (!posix_yuv_open(&s->converter, c->width, c->height)) {
        return posix_fail(err, cap, "posix_yuv_open", AVERROR(ENOMEM));
    }
    s->width = desc->width;
    s->height = desc->height;
    s->fps = desc->fps;
    return 0;
}

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

int posix_sink_begin(void *sink, char *err, std::size_t cap) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    AVDictionary *options = nullptr;
    if (s->fragmented) {
        av_dict_set(&options, "movflags", kFragmentFlags, 0);
        av_dict_set(&options, "frag_duration", kFragmentMicroseconds, 0);
    }
    const int rc = avformat_write_header(s->format, &options);
    av_dict_free(&options);
    if (rc < 0) {
        return posix_fail(err, cap, "avformat_write_header", rc);
    }
    s->header_written = true;
    return 0;
}

sink_write posix_sink_write_video(void *sink, const bgra_picture *picture, int64_t index, int64_t, int64_t) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    // An unchanged picture is sent again as it was converted last time.
    if (!picture->unchanged || !s->have_picture) {
        s->have_picture = false;
        // The encoder may still hold the previous picture; then it gets a fresh one.
        if (av_frame_make_writable(s->video_frame) < 0) {
            return sink_write::failed;
        }
        posix_bgra_to_i420(&s->converter, picture->pixels, picture->stride, s->video_frame->data,
                           s->video_frame->linesize);
        s->have_picture = true;
    }
    // Time base 1/fps: frame n is stamped n, exactly n / fps seconds.
    s->video_frame->pts = index;
    return posix_encode(s, s->video, s->video_stream, s->video_frame) < 0 ? sink_write::failed
                                                                          : sink_write::ok;
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

int posix_sink_finalize(void *sink, char *err, std::size_t cap) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    int rc = 0;
    const char *call = "av_write_trailer";
    if (s->header_written) {
        if (s->audio != nullptr) {
            // The track lasts until the last frame ends, and the encoder
            // takes a short last frame.
            posix_append_audio(s, nullptr, s->audio_end - posix_audio_written(s));
            if (s->audio_filled > 0) {
                s->audio_frame->nb_samples = s->audio_filled;
                posix_send_audio_frame(s);
            }
            posix_encode(s, s->audio, s->audio_stream, nullptr);
        }
        posix_encode(s, s->video, s->video_stream, nullptr);
        rc = av_write_trailer(s->format);
        if (s->write_error != 0) {
            rc = s->write_error;
            call = "av_interleaved_write_frame";
        }
        // The last buffered bytes reach the file only when it is closed.
        if (s->format->pb != nullptr && (s->format->oformat->flags & AVFMT_NOFILE) == 0) {
            const int closed = avio_closep(&s->format->pb);
            if (rc >= 0 && closed < 0) {
                rc = closed;
                call = "avio_close";
            }
        }
    }
    const bool had_header = s->header_written;
    posix_release(s);
    s->frames_in_file = -1;
    if (had_header && s->fragmented) {
        // Whatever the muxer managed, the file now ends with whole fragments
        // and, when there was room for its index, is a regular MP4.
        mp4_finish_report report{};
        if (mp4_finish(s->path, &report) >= 0) {
            s->frames_in_file = report.video_samples;
        }
    }
    return rc < 0 ? posix_fail(err, cap, call, rc) : 0;
}

void posix_sink_abandon(void *sink) {
    posix_release(static_cast<posix_ffmpeg_sink *>(sink));
}

void posix_sink_shutdown(void *) {}

int64_t posix_sink_frames_in_file(void *sink) {
    return static_cast<posix_ffmpeg_sink *>(sink)->frames_in_file;
}

void posix_sink_destroy(void *sink) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    posix_release(s);
    delete s;
}

const media_sink_ops kFfmpegSink{
    posix_sink_create,         posix_sink_startup, posix_sink_open,        posix_sink_add_video,
    posix_sink_add_audio,      posix_sink_begin,   posix_sink_write_video, posix_sink_write_audio,
    posix_sink_finalize,       posix_sink_abandon, posix_sink_shutdown,    posix_sink_destroy,
    posix_sink_frames_in_file,
};

} // namespace

const media_sink_ops &platform_media_sink() {
    return kFfmpegSink;
}
