// The media sink on Linux: the FFmpeg libraries. H.264 (libx264) or HEVC
// (libx265) video fed from BGRA pictures through our own 4:2:0 converter, and FFmpeg's own
// AAC encoder fed with 16-bit PCM, muxed by libavformat into the container
// that the file name asks for (MPEG-4 when libavformat does not know it).
// MPEG-4 files are written as fragments while recording, so that a file cut
// off anywhere plays up to its last whole fragment, and are turned into a
// regular MP4 in place when the recording ends (mp4_finish).
// This file holds the muxer and the file; the encoders are in
// video_encode_ffmpeg.cpp and audio_encode_ffmpeg.cpp.
#include <cstdio>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "mp4_finish/mp4_finish.h"
#include "platform/posix/media_sink_ffmpeg.h"

namespace {

// MPEG-4 while recording: an initial moov without samples, then fragments
// of at most one second (each starts at a keyframe or at the second's end),
// each flushed to the file as soon as it is complete. Keyframes come every
// two seconds at most.
constexpr char kFragmentFlags[] = "+frag_keyframe+empty_moov+delay_moov+default_base_moof+skip_trailer";
constexpr char kFragmentMicroseconds[] = "1000000";

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
        const int written = encoder == s->video && s->skip.enabled
                                ? posix_skip_write_encoded(s, s->packet)
                                : posix_write_packet(s, s->packet, encoder, stream);
        if (written < 0) {
            return written;
        }
    }
}

} // namespace

int posix_write_packet(posix_ffmpeg_sink *s, AVPacket *packet, AVCodecContext *encoder, AVStream *stream) {
    av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(s->format, packet);
    if (written < 0) {
        // A failed write (a full disk) leaves the file unusable; the
        // recording cannot go on.
        if (s->write_error == 0) {
            s->write_error = written;
        }
        return written;
    }
    return 0;
}

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

int posix_encode(posix_ffmpeg_sink *s, AVCodecContext *encoder, AVStream *stream, const AVFrame *frame) {
    const int rc = avcodec_send_frame(encoder, frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        return rc;
    }
    return posix_drain(s, encoder, stream);
}

namespace {

void posix_release(posix_ffmpeg_sink *s) {
    s->have_picture = false;
    posix_skip_close(s);
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

int posix_sink_finalize(void *sink, char *err, std::size_t cap) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    int rc = 0;
    const char *call = "av_write_trailer";
    if (s->header_written) {
        if (s->audio != nullptr) {
            posix_audio_flush(s);
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
