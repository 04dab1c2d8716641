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

#include "platform/media_sink.h"
#include "platform/posix/video_convert_yuv.h"

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

// The audio stream (audio_encode_ffmpeg.cpp).
int posix_sink_add_audio(void *sink, char *err, std::size_t cap);
sink_write posix_sink_write_audio(void *sink, const uint8_t *pcm, std::size_t bytes, int64_t index, int64_t,
                                  int64_t);
// Pads the track to the end of the last frame and sends what the encoder
// still holds; results are not examined, finalize reports the muxer's.
void posix_audio_flush(posix_ffmpeg_sink *s);
