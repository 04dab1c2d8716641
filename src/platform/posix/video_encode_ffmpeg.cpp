// The Linux sink's video stream: H.264 (libx264) or HEVC (libx265), fed from
// BGRA pictures through our own 4:2:0 converter.
#include <cstdio>
#include <thread>

#include "platform/posix/media_sink_ffmpeg.h"

namespace {

// x264's speed preset and frame threads, chosen by bench/record-vs-ffmpeg
// on a 2-core machine (see the README).
constexpr char kX264Preset[] = "ultrafast";
constexpr char kX264Threads[] = "2";
constexpr char kX265Preset[] = "ultrafast";
// x265 left to itself keeps its pool nearly idle here and holds frames for
// its look-ahead: one pool thread and one frame thread per core, no
// look-ahead and no B-frames.
constexpr unsigned kX265MaxFrameThreads = 4;
// On top of ultrafast: 32 x 32 coding units only (no split into 16 x 16),
// transforms of at most 16 x 16, no psycho-visual RD and the cheapest RD
// level. A moving 1080p frame then costs x265 about two thirds of plain
// ultrafast's CPU (about 40 ms against 60 ms at 8 Mbit/s) at the same PSNR and
// SSIM, within half a dB on scrolling text. That is still about 1.2 cores for
// the encoder alone at 30 fps: more than a 2-core machine has free beside a
// moving scene's player (bench/record-vs-ffmpeg, the README).
constexpr char kX265Tuning[] = "rc-lookahead=0:bframes=0:max-tu-size=16:psy-rd=0:rd=1";
// x265 shrinks its 32 x 32 coding tree for a picture narrower or lower than
// that and then refuses 32 x 32 as the smallest unit: such pictures keep
// ultrafast's 16 x 16.
constexpr char kX265LargeUnits[] = "min-cu-size=32";
constexpr int kX265LargeUnitsSide = 32;

// "log-level=none:pools=N:frame-threads=F:" followed by the tuning
void posix_x265_params(char *out, std::size_t cap, int width, int height) {
    unsigned cores = std::thread::hardware_concurrency();
    cores = cores == 0 ? 1 : cores;
    const unsigned frame_threads = cores < kX265MaxFrameThreads ? cores : kX265MaxFrameThreads;
    const bool large = width >= kX265LargeUnitsSide && height >= kX265LargeUnitsSide;
    std::snprintf(out, cap, "log-level=none:pools=%u:frame-threads=%u:%s%s%s", cores, frame_threads,
                  kX265Tuning, large ? ":" : "", large ? kX265LargeUnits : "");
}

// Keyframes come every two seconds at most (the fragments of an MPEG-4 file
// are cut at them or at each second's end, media_sink_ffmpeg.cpp).
constexpr int kKeyframeSeconds = 2;

} // namespace

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
        char params[192];
        posix_x265_params(params, sizeof params, c->width, c->height);
        av_dict_set(&options, "x265-params", params, 0);
    } else {
        av_dict_set(&options, "preset", kX264Preset, 0);
        av_dict_set(&options, "threads", kX264Threads, 0);
        // No look-ahead thread: x264 then holds a picture only as long as its
        // frame threads need it, which skipped pictures wait behind.
        av_dict_set(&options, "x264-params", "sync-lookahead=0", 0);
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
    posix_skip_open(s);
    return 0;
}

sink_write posix_sink_write_video(void *sink, const bgra_picture *picture, int64_t index, int64_t, int64_t) {
    auto *s = static_cast<posix_ffmpeg_sink *>(sink);
    const bool unchanged = picture->unchanged && s->have_picture;
    if (posix_skip_wanted(s, unchanged)) {
        return posix_skip_write(s, index) < 0 ? sink_write::failed : sink_write::ok;
    }
    // An unchanged picture is sent again as it was converted last time.
    if (!unchanged) {
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
    s->video_frame->pict_type = posix_skip_sent(s, index) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    return posix_encode(s, s->video, s->video_stream, s->video_frame) < 0 ? sink_write::failed
                                                                          : sink_write::ok;
}
