// The Linux media sink's state, shared by its three parts: the muxer and the
// file (media_sink_ffmpeg.cpp), the video encoder (video_encode_ffmpeg.cpp)
// and the audio encoder (audio_encode_ffmpeg.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "h264_skip/h264_skip.h"
#include "platform/media_sink.h"
#include "platform/posix/video_convert_yuv.h"

// One picture in the order the worker handed them over, while the encoder
// still holds an earlier one: either the encoder's or a skipped picture.
struct posix_queued_picture {
    int64_t index;
    bool skipped;
};

// Pictures that did not change are not sent to x264 once it has had a few
// of them to refine its last picture: the sink writes an all-skipped
// picture of its own instead (h264_skip). Every picture still gets its
// sample, at its own time.
struct posix_video_skip {
    bool enabled;
    h264_splice splice;
    int32_t refine;           // unchanged pictures still sent to the encoder after a change
    int32_t refine_after_key; // and after a keyframe
    int32_t to_refine;        // unchanged pictures still to send before skipping
    int32_t next_key_in;      // pictures before the next keyframe, -1 before the first picture
    int32_t gop;              // at most this many pictures from one keyframe to the next
    // The pictures after the oldest one the encoder still holds, in order.
    posix_queued_picture queue[64];
    int32_t queue_head;
    int32_t queue_size;
    int32_t queue_limit; // skipped pictures wait at most this long for the encoder
    uint8_t *unit;       // renumbered access unit, grown as needed
    uint8_t *scratch;
    std::size_t unit_cap;
    AVBufferRef *pictures[256]; // the skipped picture for each frame_num, made on first use
};

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

    posix_video_skip skip; // unchanged pictures written as skipped pictures (H.264)

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

// "<call> failed: <FFmpeg's text>"; returns -1.
int posix_fail(char *err, std::size_t cap, const char *call, int code);
// FFmpeg's text for an error code.
void posix_error_text(int code, char *out, std::size_t cap);
// Sends `frame` (null: the end of the stream) to `encoder` and hands every
// packet it has ready to the muxer.
int posix_encode(posix_ffmpeg_sink *s, AVCodecContext *encoder, AVStream *stream, const AVFrame *frame);

// The video stream (video_encode_ffmpeg.cpp).
int posix_sink_add_video(void *sink, const video_stream_desc *desc, char *err, std::size_t cap);
sink_write posix_sink_write_video(void *sink, const bgra_picture *picture, int64_t index, int64_t, int64_t);

// Skipped pictures (video_skip_ffmpeg.cpp).
// Sets up skipping for an opened H.264 encoder; leaves it off otherwise.
void posix_skip_open(posix_ffmpeg_sink *s);
void posix_skip_close(posix_ffmpeg_sink *s);
// True when this picture should be written as a skipped picture.
bool posix_skip_wanted(posix_ffmpeg_sink *s, bool unchanged);
// Writes a skipped picture, or queues it behind the encoder's pictures.
int posix_skip_write(posix_ffmpeg_sink *s, int64_t index);
// Before sending a picture to the encoder: queues it and tells whether it
// must be a keyframe.
bool posix_skip_sent(posix_ffmpeg_sink *s, int64_t index);
// Writes one of the encoder's packets, renumbered, then the skipped
// pictures queued behind it. The packet is consumed.
int posix_skip_write_encoded(posix_ffmpeg_sink *s, AVPacket *packet);
// Writes a packet in the encoder's time base to the muxer, keeping the
// first failure.
int posix_write_packet(posix_ffmpeg_sink *s, AVPacket *packet, AVCodecContext *encoder, AVStream *stream);

// The audio stream (audio_encode_ffmpeg.cpp).
int posix_sink_add_audio(void *sink, char *err, std::size_t cap);
sink_write posix_sink_write_audio(void *sink, const uint8_t *pcm, std::size_t bytes, int64_t index, int64_t,
                                  int64_t);
// Pads the track to the end of the last frame and sends what the encoder
// still holds; results are not examined, finalize reports the muxer's.
void posix_audio_flush(posix_ffmpeg_sink *s);
