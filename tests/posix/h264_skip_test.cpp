// Skipped H.264 pictures spliced into x264's own stream: the bit-level
// helpers, which streams can take them, and, decoded by FFmpeg's H.264
// decoder, that every skipped picture repeats its predecessor exactly while
// every picture of x264's decodes exactly as it did without them; then a
// real recording of a still X screen.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "h264_skip/h264_bits.h"
#include "h264_skip/h264_skip.h"
#include "kestrova/screenrecorder.h"
#include "screenrecorder/job.h"
#include "support/temp_dir.h"
#include "support/x_window_posix.h"
#include "support/xvfb_posix.h"

namespace {

// x264 reports its settings and statistics on every open and close.
const bool g_quiet = (av_log_set_level(AV_LOG_QUIET), true);

TEST(H264Bits, ExpGolombCodesRoundTrip) {
    const uint32_t unsigned_values[] = {0, 1, 2, 3, 7, 8, 255, 8160, 65535, 0x7FFFFFFEu};
    const int32_t signed_values[] = {0, 1, -1, 2, -2, 26, -26, 100000, -100000};
    uint8_t buffer[256] = {};
    h264_bit_writer w{buffer, sizeof buffer, 0, false};
    for (const uint32_t v : unsigned_values) {
        h264_write_ue(&w, v);
        h264_write_bits(&w, 5, 3); // a fixed field between the codes
    }
    for (const int32_t v : signed_values) {
        h264_write_se(&w, v);
    }
    const std::size_t bytes = h264_write_trailing(&w);
    ASSERT_FALSE(w.overrun);
    h264_bit_reader r{buffer, bytes, 0, false};
    for (const uint32_t v : unsigned_values) {
        EXPECT_EQ(h264_read_ue(&r), v);
        EXPECT_EQ(h264_read_bits(&r, 3), 5u);
    }
    for (const int32_t v : signed_values) {
        EXPECT_EQ(h264_read_se(&r), v);
    }
    EXPECT_EQ(h264_read_bits(&r, 1), 1u); // the stop bit
    EXPECT_FALSE(r.overrun);
    h264_read_bits(&r, 16);
    EXPECT_TRUE(r.overrun);
}

TEST(H264Bits, EmulationPreventionRoundTrips) {
    struct escape_case {
        std::vector<uint8_t> raw;
        std::vector<uint8_t> escaped;
    };
    const escape_case cases[] = {
        {{0x00, 0x00, 0x00}, {0x00, 0x00, 0x03, 0x00}},
        {{0x00, 0x00, 0x01}, {0x00, 0x00, 0x03, 0x01}},
        {{0x00, 0x00, 0x02}, {0x00, 0x00, 0x03, 0x02}},
        {{0x00, 0x00, 0x03}, {0x00, 0x00, 0x03, 0x03}},
        {{0x00, 0x00, 0x04}, {0x00, 0x00, 0x04}},
        {{0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00}},
        {{0x25, 0x00, 0x01, 0x00, 0x00, 0x80}, {0x25, 0x00, 0x01, 0x00, 0x00, 0x80}},
    };
    for (const escape_case &c : cases) {
        std::vector<uint8_t> out(c.raw.size() * 3 / 2 + 2);
        out.resize(h264_escape(c.raw.data(), c.raw.size(), out.data()));
        EXPECT_EQ(out, c.escaped);
        std::vector<uint8_t> back(out.size());
        back.resize(h264_unescape(out.data(), out.size(), back.data()));
        EXPECT_EQ(back, c.raw);
    }
}

// x264 through libavcodec with a global header, as the Linux sink opens it.
struct x264_encoder {
    AVCodecContext *c = nullptr;
    bool ok = false;

    x264_encoder(int w, int h, const char *preset, const char *params) {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        c = codec == nullptr ? nullptr : avcodec_alloc_context3(codec);
        if (c == nullptr) {
            return;
        }
        c->width = w;
        c->height = h;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{1, 30};
        c->framerate = AVRational{30, 1};
        c->bit_rate = 2000000;
        c->gop_size = 60;
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary *options = nullptr;
        av_dict_set(&options, "preset", preset, 0);
        av_dict_set(&options, "threads", "1", 0);
        if (params != nullptr) {
            av_dict_set(&options, "x264-params", params, 0);
        }
        ok = avcodec_open2(c, codec, &options) >= 0;
        av_dict_free(&options);
    }
    ~x264_encoder() { avcodec_free_context(&c); }
    x264_encoder(const x264_encoder &) = delete;
    x264_encoder &operator=(const x264_encoder &) = delete;

    h264_skip_stream inspect() const {
        return h264_skip_inspect(c->extradata, static_cast<std::size_t>(c->extradata_size));
    }
};

TEST(H264Skip, OnlyStreamsWithOneReferenceCavlcAndNoReorderingTakeSkippedPictures) {
    struct stream_case {
        const char *preset;
        const char *params;
        bool usable;
    };
    const stream_case cases[] = {
        {"ultrafast", nullptr, true},
        {"ultrafast", "sync-lookahead=0", true},
        {"superfast", nullptr, false},              // CABAC
        {"ultrafast", "ref=2", false},              // two reference frames
        {"ultrafast", "bframes=2", false},          // reordered pictures
        {"ultrafast", "slice-max-size=1500", true}, // several slices a picture are fine
    };
    for (const stream_case &c : cases) {
        x264_encoder e(320, 240, c.preset, c.params);
        ASSERT_TRUE(e.ok) << c.preset;
        EXPECT_EQ(e.inspect().usable, c.usable) << c.preset << " " << (c.params ? c.params : "");
    }
    const uint8_t garbage[] = {0, 0, 1, 0x67, 0xFF, 0xFF};
    EXPECT_FALSE(h264_skip_inspect(garbage, sizeof garbage).usable);
    EXPECT_FALSE(h264_skip_inspect(nullptr, 0).usable);
}

// A picture that changes everywhere, every time.
void paint(AVFrame *f, int n) {
    for (int p = 0; p < 3; ++p) {
        const int w = p == 0 ? f->width : f->width / 2;
        const int h = p == 0 ? f->height : f->height / 2;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                f->data[p][y * f->linesize[p] + x] =
                    static_cast<uint8_t>((x * (p + 1) + y * 3 + n * 7) ^ (x * y + n));
            }
        }
    }
}

using packet_bytes = std::vector<uint8_t>;

std::vector<packet_bytes> encode(x264_encoder *e, int count) {
    std::vector<packet_bytes> out;
    AVFrame *f = av_frame_alloc();
    AVPacket *p = av_packet_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = e->c->width;
    f->height = e->c->height;
    av_frame_get_buffer(f, 0);
    for (int n = 0; n <= count; ++n) {
        if (n < count) {
            av_frame_make_writable(f);
            paint(f, n);
            f->pts = n;
        }
        avcodec_send_frame(e->c, n < count ? f : nullptr);
        while (avcodec_receive_packet(e->c, p) >= 0) {
            out.emplace_back(p->data, p->data + p->size);
            av_packet_unref(p);
        }
    }
    av_packet_free(&p);
    av_frame_free(&f);
    return out;
}

// Decodes a stream and returns each picture's Y, U and V planes, packed,
// and the number of decoding errors.
std::vector<packet_bytes> decode(const AVCodecContext *enc, const std::vector<packet_bytes> &stream,
                                 int *errors) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *d = avcodec_alloc_context3(codec);
    d->extradata = static_cast<uint8_t *>(av_mallocz(enc->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(d->extradata, enc->extradata, enc->extradata_size);
    d->extradata_size = enc->extradata_size;
    d->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
    d->thread_count = 1;
    avcodec_open2(d, codec, nullptr);
    AVPacket *p = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    std::vector<packet_bytes> pictures;
    *errors = 0;
    const auto take = [&] {
        while (avcodec_receive_frame(d, f) >= 0) {
            packet_bytes planes;
            for (int plane = 0; plane < 3; ++plane) {
                const int w = plane == 0 ? f->width : f->width / 2;
                const int h = plane == 0 ? f->height : f->height / 2;
                for (int y = 0; y < h; ++y) {
                    const uint8_t *row = f->data[plane] + y * f->linesize[plane];
                    planes.insert(planes.end(), row, row + w);
                }
            }
            *errors += (f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT) != 0) ? 1 : 0;
            pictures.push_back(std::move(planes));
        }
    };
    for (std::size_t i = 0; i < stream.size(); ++i) {
        av_new_packet(p, static_cast<int>(stream[i].size()));
        std::memcpy(p->data, stream[i].data(), stream[i].size());
        p->pts = static_cast<int64_t>(i);
        *errors += avcodec_send_packet(d, p) < 0 ? 1 : 0;
        av_packet_unref(p);
        take();
    }
    avcodec_send_packet(d, nullptr);
    take();
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&d);
    return pictures;
}

TEST(H264Skip, SplicedPicturesDecodeExactlyAndRepeatTheirPredecessor) {
    const int kSizes[][2] = {{320, 240}, {200, 120}}; // 120 and 104 (odd edge) macroblocks
    for (const auto &size : kSizes) {
        x264_encoder e(size[0], size[1], "ultrafast", "sync-lookahead=0");
        ASSERT_TRUE(e.ok);
        const std::vector<packet_bytes> original = encode(&e, 14);
        ASSERT_EQ(original.size(), 14u);
        int errors = 0;
        const std::vector<packet_bytes> plain = decode(e.c, original, &errors);
        ASSERT_EQ(plain.size(), 14u);
        ASSERT_EQ(errors, 0);

        // Skipped pictures after x264's pictures 1, 3 (past a frame_num
        // wrap: 16 values) and 9; none after the others.
        const int kSkipsAfter[14] = {0, 3, 0, 20, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0};
        h264_splice splice{};
        splice.stream = e.inspect();
        ASSERT_TRUE(splice.stream.usable);
        std::vector<packet_bytes> spliced;
        std::vector<int> source; // x264's picture, or -1 for a skipped one
        for (int n = 0; n < 14; ++n) {
            const packet_bytes &unit = original[n];
            packet_bytes out(unit.size() * 3 / 2 + 16);
            packet_bytes scratch(unit.size());
            bool changed = false;
            const std::size_t length =
                h264_splice_encoded(&splice, unit.data(), unit.size(), out.data(), scratch.data(), &changed);
            ASSERT_GT(length, 0u) << "picture " << n;
            // Renumbered from the first picture that follows skipped ones.
            EXPECT_EQ(changed, n >= 2) << "picture " << n;
            out.resize(length);
            spliced.push_back(out);
            source.push_back(n);
            for (int k = 0; k < kSkipsAfter[n]; ++k) {
                packet_bytes skip(64);
                skip.resize(h264_splice_skipped(&splice, skip.data(), skip.size()));
                ASSERT_GT(skip.size(), 0u);
                EXPECT_LT(skip.size(), 24u);
                spliced.push_back(skip);
                source.push_back(-1);
            }
        }
        const std::vector<packet_bytes> decoded = decode(e.c, spliced, &errors);
        ASSERT_EQ(decoded.size(), spliced.size());
        EXPECT_EQ(errors, 0);
        for (std::size_t i = 0; i < decoded.size(); ++i) {
            if (source[i] >= 0) {
                EXPECT_TRUE(decoded[i] == plain[static_cast<std::size_t>(source[i])])
                    << "x264's picture " << source[i] << " decodes differently once spliced";
            } else {
                EXPECT_TRUE(decoded[i] == decoded[i - 1]) << "skipped picture " << i << " is not a copy";
            }
        }
    }
}

TEST(H264Skip, NothingIsSkippedBeforeTheFirstIdrPicture) {
    x264_encoder e(320, 240, "ultrafast", nullptr);
    ASSERT_TRUE(e.ok);
    h264_splice splice{};
    splice.stream = e.inspect();
    uint8_t out[64];
    EXPECT_EQ(h264_splice_skipped(&splice, out, sizeof out), 0u);
    // A picture of a stream it has not seen (another PPS id) is refused.
    const std::vector<packet_bytes> units = encode(&e, 2);
    h264_splice other = splice;
    bool changed = false;
    other.stream.pps_id = 5;
    std::vector<uint8_t> buffer(units[0].size() * 3 / 2 + 16);
    std::vector<uint8_t> scratch(units[0].size());
    EXPECT_EQ(h264_splice_encoded(&other, units[0].data(), units[0].size(), buffer.data(), scratch.data(),
                                  &changed),
              0u);
    EXPECT_GT(h264_splice_encoded(&splice, units[0].data(), units[0].size(), buffer.data(), scratch.data(),
                                  &changed),
              0u);
    EXPECT_GT(h264_splice_skipped(&splice, out, sizeof out), 0u);
    // Too small a buffer for the picture.
    EXPECT_EQ(h264_splice_skipped(&splice, out, 4), 0u);
}

} // namespace

namespace {

struct recorded_picture {
    int size;         // the packet's bytes
    double mean_luma; // over a block at the probe point
};

// Reads every video packet of a file, decodes it, and reports its size and
// the mean luma of a 16 x 16 block at (x, y); `errors` counts decoding faults.
std::vector<recorded_picture> read_recording(const std::string &path, int x, int y, int *errors) {
    std::vector<recorded_picture> out;
    *errors = 0;
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        *errors = 1;
        return out;
    }
    avformat_find_stream_info(format, nullptr);
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec *codec = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    AVCodecContext *d = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(d, format->streams[stream]->codecpar);
    d->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
    d->thread_count = 1;
    avcodec_open2(d, codec, nullptr);
    AVPacket *p = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    std::vector<int> sizes;
    const auto take = [&] {
        while (avcodec_receive_frame(d, f) >= 0) {
            double sum = 0;
            for (int row = 0; row < 16; ++row) {
                for (int col = 0; col < 16; ++col) {
                    sum += f->data[0][(y + row) * f->linesize[0] + x + col];
                }
            }
            *errors += f->decode_error_flags != 0 ? 1 : 0;
            const std::size_t n = out.size();
            out.push_back(recorded_picture{n < sizes.size() ? sizes[n] : -1, sum / 256});
        }
    };
    while (av_read_frame(format, p) >= 0) {
        if (p->stream_index == stream) {
            sizes.push_back(p->size);
            *errors += avcodec_send_packet(d, p) < 0 ? 1 : 0;
            take();
        }
        av_packet_unref(p);
    }
    avcodec_send_packet(d, nullptr);
    take();
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&d);
    avformat_close_input(&format);
    return out;
}

// A still screen recorded at 30 fps becomes mostly skipped pictures, each
// a copy of the last; a window that then appears stays in every later
// picture (a skipped picture never falls back to an older one).
TEST(H264SkipRecording, AStillScreenIsSkippedAndAChangeStays) {
    xvfb_server x(320, 240);
    ASSERT_TRUE(x.ok());
    xcb_connection_t *c = xcb_connect(x.display().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    show_colour_window(c, screen, 20, 20, 60, 40, 0x3060c0);
    x_round_trip(c);
    temp_dir dir;
    const std::string path = dir.file("still.mp4");
    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(path.c_str(), R"({"fps":30})", &job), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    show_colour_window(c, screen, 160, 120, 64, 64, 0xffff00);
    x_round_trip(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &text), 0);
    const int64_t frames = g_jobs[job - 1].frames;
    xcb_disconnect(c);

    int errors = 0;
    const std::vector<recorded_picture> pictures = read_recording(path, 176, 136, &errors);
    EXPECT_EQ(errors, 0);
    ASSERT_EQ(static_cast<int64_t>(pictures.size()), frames);
    int skipped = 0;
    int changes = 0;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        skipped += pictures[i].size > 0 && pictures[i].size < 24 ? 1 : 0;
        const bool yellow = std::abs(pictures[i].mean_luma - 210) < 20;
        const bool was_yellow = i > 0 && std::abs(pictures[i - 1].mean_luma - 210) < 20;
        changes += i > 0 && yellow != was_yellow ? 1 : 0;
    }
    EXPECT_GT(skipped, static_cast<int>(frames) / 3) << "the still screen was encoded again and again";
    EXPECT_FALSE(std::abs(pictures.front().mean_luma - 210) < 20);
    EXPECT_TRUE(std::abs(pictures.back().mean_luma - 210) < 20) << "the window never reached the recording";
    EXPECT_EQ(changes, 1) << "the window came and went";
}

} // namespace
