// The recording's capture path on a private Xvfb: the colour conversion
// against libswscale's on a desktop-like screen, the grab's report of what
// changed (X DAMAGE), a short-lived window reaching the recording, and the
// worker's steady state without page faults that grow with the frames.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "platform/posix/video_convert_yuv.h"
#include "screenrecorder/job.h"
#include "support/ffprobe_posix.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "support/x_window_posix.h"
#include "support/xvfb_posix.h"

namespace {

// A desktop drawn with XCB on its own connection: a coloured background,
// windows with title bars, lines of text in the server's "fixed" font and a
// photo-like gradient. What it maps lives as long as the painter.
class desktop {
  public:
    desktop() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_) != 0) {
            return;
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        const uint32_t bg[] = {0x3a6ea5};
        xcb_change_window_attributes(c_, screen_->root, XCB_CW_BACK_PIXEL, bg);
        xcb_clear_area(c_, 0, screen_->root, 0, 0, 0, 0);
        font_ = xcb_generate_id(c_);
        xcb_open_font(c_, font_, 5, "fixed");
        gc_ = xcb_generate_id(c_);
        const uint32_t gc_values[] = {0, 0xffffff, font_};
        xcb_create_gc(c_, gc_, screen_->root, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, gc_values);
        window(40, 30, 520, 300, 0xf4f4f0, 0x2d5f9a, 0x202020);
        window(300, 200, 460, 240, 0x1e1e1e, 0x6a6a6a, 0x33ff66);
        gradient(620, 40, 200, 120);
        sync();
    }
    ~desktop() { xcb_disconnect(c_); }
    desktop(const desktop &) = delete;
    desktop &operator=(const desktop &) = delete;

    bool ok() const { return screen_ != nullptr && xcb_connection_has_error(c_) == 0; }

    // Maps a plain override-redirect window; returns it.
    uint32_t show(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t rgb) {
        const xcb_window_t win = show_colour_window(c_, screen_, x, y, w, h, rgb);
        sync();
        return win;
    }
    void move_pointer(int16_t x, int16_t y) {
        xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, x, y);
        sync();
    }
    void hide(uint32_t win) {
        xcb_destroy_window(c_, win);
        sync();
    }
    // Redraws the root background in another colour.
    void paint_background(uint32_t rgb) {
        const uint32_t bg[] = {rgb};
        xcb_change_window_attributes(c_, screen_->root, XCB_CW_BACK_PIXEL, bg);
        xcb_clear_area(c_, 0, screen_->root, 0, 0, 0, 0);
        sync();
    }

  private:
    void fill(xcb_drawable_t d, int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t rgb) {
        const uint32_t fg[] = {rgb};
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, fg);
        const xcb_rectangle_t r{x, y, w, h};
        xcb_poly_fill_rectangle(c_, d, gc_, 1, &r);
    }
    void text(xcb_drawable_t d, int16_t x, int16_t y, uint32_t fg, uint32_t bg, const std::string &s) {
        const uint32_t values[] = {fg, bg};
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, values);
        xcb_image_text_8(c_, static_cast<uint8_t>(s.size()), d, gc_, x, y, s.c_str());
    }
    // A window drawn straight onto the root: frame, title bar, text lines.
    void window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t body, uint32_t title, uint32_t ink) {
        const xcb_window_t root = screen_->root;
        fill(root, static_cast<int16_t>(x - 1), static_cast<int16_t>(y - 1), static_cast<uint16_t>(w + 2),
             static_cast<uint16_t>(h + 2), 0x101010);
        fill(root, x, y, w, 22, title);
        text(root, static_cast<int16_t>(x + 8), static_cast<int16_t>(y + 15), 0xffffff, title,
             "kestrova - notes");
        fill(root, x, static_cast<int16_t>(y + 22), w, static_cast<uint16_t>(h - 22), body);
        for (int line = 0; line * 14 + 40 < h; ++line) {
            text(root, static_cast<int16_t>(x + 10), static_cast<int16_t>(y + 40 + line * 14), ink, body,
                 "line " + std::to_string(line) + ": The quick brown fox jumps over the lazy dog 0123456789");
        }
    }
    void gradient(int16_t x, int16_t y, uint16_t w, uint16_t h) {
        std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < w; ++i) {
                uint8_t *p = &px[(static_cast<size_t>(j) * w + i) * 4];
                p[0] = static_cast<uint8_t>(255 * i / w);
                p[1] = static_cast<uint8_t>(255 * j / h);
                p[2] = static_cast<uint8_t>(128 + 127 * std::sin(i * 0.05 + j * 0.03));
                p[3] = 0;
            }
        }
        xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, gc_, w, h, x, y, 0, screen_->root_depth,
                      static_cast<uint32_t>(px.size()), px.data());
    }
    void sync() { x_round_trip(c_); }

    xcb_connection_t *c_ = nullptr;
    xcb_screen_t *screen_ = nullptr;
    uint32_t font_ = 0;
    uint32_t gc_ = 0;
};

struct i420 {
    int32_t width;
    int32_t height;
    std::vector<uint8_t> planes[3];
    int linesize[3];
    explicit i420(int32_t w, int32_t h) : width(w), height(h), linesize{w, w / 2, w / 2} {
        planes[0].resize(static_cast<size_t>(w) * h);
        planes[1].resize(static_cast<size_t>(w / 2) * (h / 2));
        planes[2].resize(static_cast<size_t>(w / 2) * (h / 2));
    }
};

double psnr(const i420 &a, const i420 &b) {
    double sum = 0;
    size_t n = 0;
    for (int p = 0; p < 3; ++p) {
        for (size_t i = 0; i < a.planes[p].size(); ++i) {
            const double d = static_cast<double>(a.planes[p][i]) - static_cast<double>(b.planes[p][i]);
            sum += d * d;
        }
        n += a.planes[p].size();
    }
    const double mse = sum / static_cast<double>(n);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The BGRA colour at (x, y) of a picture, as 0xRRGGBB.
uint32_t colour_at(const bgra_picture &p, int32_t x, int32_t y) {
    const uint8_t *px = p.pixels + p.stride * static_cast<size_t>(y) + static_cast<size_t>(x) * 4;
    return uint32_t{px[2]} << 16 | uint32_t{px[1]} << 8 | px[0];
}

TEST(CapturePath, ConversionMatchesLibswscaleOnADesktop) {
    xvfb_server x(1280, 720);
    ASSERT_TRUE(x.ok());
    desktop d;
    ASSERT_TRUE(d.ok());
    const int32_t w = 1280;
    const int32_t h = 720;
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, w, h));
    std::vector<uint8_t> scratch(static_cast<size_t>(w) * h * 4);
    bgra_picture picture{};
    ASSERT_TRUE(grab_view(&ctx, 0, 0, scratch.data(), &picture));
    // The whole screen is handed out from the segment, with no copy.
    EXPECT_NE(picture.pixels, scratch.data());

    i420 ours(w, h);
    uint8_t *const ours_planes[3] = {ours.planes[0].data(), ours.planes[1].data(), ours.planes[2].data()};
    posix_yuv_converter converter{};
    ASSERT_TRUE(posix_yuv_open(&converter, w, h));
    posix_bgra_to_i420(&converter, picture.pixels, picture.stride, ours_planes, ours.linesize);
    posix_yuv_close(&converter);

    i420 theirs(w, h);
    SwsContext *sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                     nullptr, nullptr);
    ASSERT_NE(sws, nullptr);
    const uint8_t *const src[1] = {picture.pixels};
    const int src_stride[1] = {static_cast<int>(picture.stride)};
    uint8_t *const dst[3] = {theirs.planes[0].data(), theirs.planes[1].data(), theirs.planes[2].data()};
    sws_scale(sws, src, src_stride, 0, h, dst, theirs.linesize);
    sws_freeContext(sws);

    EXPECT_GE(psnr(ours, theirs), 50.0);
    // Luma alone, where text lives, must match as closely.
    i420 ours_y = ours;
    i420 theirs_y = theirs;
    for (int p = 1; p < 3; ++p) {
        ours_y.planes[p].clear();
        theirs_y.planes[p].clear();
    }
    EXPECT_GE(psnr(ours_y, theirs_y), 50.0);
    grab_close(&ctx);
}

TEST(CapturePath, GrabReportsWhetherItsRectangleChanged) {
    xvfb_server x(640, 480);
    ASSERT_TRUE(x.ok());
    desktop d;
    ASSERT_TRUE(d.ok());
    // The recorded rectangle is (100, 100) 200 x 150.
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, 200, 150));
    std::vector<uint8_t> scratch(200 * 150 * 4);
    bgra_picture p{};
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged) << "the first grab has nothing to be the same as";
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_TRUE(p.unchanged) << "a still screen";
    const uint32_t before = colour_at(p, 10, 10);

    // Drawing outside the rectangle changes nothing in it.
    const uint32_t outside = d.show(400, 300, 50, 50, 0xff0000);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_TRUE(p.unchanged);

    // A small window inside appears in the very next grab.
    const uint32_t inside = d.show(105, 105, 20, 20, 0x00ff00);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged);
    EXPECT_EQ(colour_at(p, 10, 10), 0x00ff00u);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_TRUE(p.unchanged);
    EXPECT_EQ(colour_at(p, 10, 10), 0x00ff00u);

    // And its going too: the root shows its background there again.
    d.hide(inside);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged);
    EXPECT_NE(colour_at(p, 10, 10), before);
    EXPECT_EQ(colour_at(p, 10, 10), 0x3a6ea5u);

    // Another rectangle is another picture, whatever the damage says.
    ASSERT_TRUE(grab_view(&ctx, 400, 300, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged);
    EXPECT_EQ(colour_at(p, 10, 10), 0xff0000u);
    d.hide(outside);

    // With the pointer drawn in, the pointer moving is a change too, even
    // where nothing was drawn.
    grab_include_cursor(&ctx, true);
    d.move_pointer(150, 150);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_TRUE(p.unchanged);
    d.move_pointer(160, 150);
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged);
    grab_include_cursor(&ctx, false);

    // A copying grab leaves no picture of the grab's own to repeat.
    ASSERT_TRUE(grab_frame(&ctx, 100, 100, scratch.data()));
    ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
    EXPECT_FALSE(p.unchanged);

    // Asked not to, the grab hands out nothing again, even on a still screen.
    grab_reuse_unchanged(&ctx, false);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(grab_view(&ctx, 100, 100, scratch.data(), &p));
        EXPECT_FALSE(p.unchanged) << i;
    }
    grab_close(&ctx);
}

// Decodes every frame of a recording and reports, per frame, the colour at a
// point (0xRRGGBB, within the codec's error of the wanted colour or not).
std::vector<bool> frames_showing(const std::string &path, int w, int h, int x, int y, uint32_t rgb,
                                 int64_t frames) {
    std::vector<bool> out;
    for (int64_t i = 0; i < frames; ++i) {
        const std::vector<uint8_t> px = decode_video_frame(path, static_cast<int>(i), w, h);
        if (px.empty()) {
            break;
        }
        const uint8_t *p = &px[(static_cast<size_t>(y) * w + x) * 4];
        const auto near = [](int a, int b) { return std::abs(a - b) < 24; };
        out.push_back(near(p[2], (rgb >> 16) & 255) && near(p[1], (rgb >> 8) & 255) && near(p[0], rgb & 255));
    }
    return out;
}

TEST(CapturePath, AWindowShownForOneFrameIntervalIsRecorded) {
    xvfb_server x(640, 480);
    ASSERT_TRUE(x.ok());
    desktop d;
    ASSERT_TRUE(d.ok());
    temp_dir dir;
    const std::string path = dir.file("flash.mp4");
    int32_t job = 0;
    ASSERT_EQ(
        screenrecorder_start(path.c_str(), R"({"fps":10,"region":{"x":0,"y":0,"w":320,"h":240}})", &job), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // still screen
    const uint32_t win = d.show(150, 100, 40, 40, 0xffff00);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // one frame interval at 10 fps
    d.hide(win);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &text), 0);
    const int64_t frames = g_jobs[job - 1].frames;
    ASSERT_GE(frames, 8);
    const std::vector<bool> shown = frames_showing(path, 320, 240, 170, 120, 0xffff00, frames);
    ASSERT_EQ(static_cast<int64_t>(shown.size()), frames);
    int64_t with_window = 0;
    for (const bool s : shown) {
        with_window += s ? 1 : 0;
    }
    EXPECT_GE(with_window, 1) << "the window never reached the recording";
    EXPECT_FALSE(shown.front());
    EXPECT_FALSE(shown.back()) << "the window's going never reached the recording";
    // Every frame slot still has its sample, exactly 1/10 s apart.
    const probed_file f = probe_media(path);
    ASSERT_TRUE(f.ok);
    ASSERT_NE(f.video(), nullptr);
    EXPECT_EQ(f.video()->frames, frames);
    EXPECT_NEAR(f.video()->duration, static_cast<double>(frames) / 10.0, 0.001);
}

int64_t minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// Records while `draw` keeps the screen busy and returns the minor page
// faults per frame over the second half of the recording (the first half
// lets the encoder settle).
double faults_per_frame(const std::string &path, const char *options, desktop *d) {
    int32_t job = 0;
    if (screenrecorder_start(path.c_str(), options, &job) != 0) {
        ADD_FAILURE() << screenrecorder_last_error();
        return 1e9;
    }
    const auto wait = [&](int ms) {
        for (int t = 0; t < ms; t += 20) {
            if (d != nullptr) {
                d->paint_background((t / 20) % 2 == 0 ? 0x804020 : 0x204080);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    wait(600);
    const int64_t faults0 = minor_faults();
    const int64_t frames0 = shared_load(g_jobs[job - 1].frames);
    wait(1000);
    const int64_t faults1 = minor_faults();
    const int64_t frames1 = shared_load(g_jobs[job - 1].frames);
    screenrecorder_stop(job, nullptr);
    EXPECT_GT(frames1 - frames0, 10);
    const double per_frame = static_cast<double>(faults1 - faults0) / static_cast<double>(frames1 - frames0);
    std::printf("%.2f minor faults a frame over %lld frames\n", per_frame,
                static_cast<long long>(frames1 - frames0));
    return per_frame;
}

TEST(CapturePath, NoFrameSizedAllocationPerFrame) {
    // The sanitizers' allocators hold freed memory back (ASan's quarantine),
    // so every small allocation lands on fresh pages there: the page-fault
    // count is a figure of the system's allocator only.
#if defined(KSR_SANITIZED)
    GTEST_SKIP() << "page faults count the sanitizer's allocator, not ours";
#endif
    // A 1280 x 720 picture is 900 pages in BGRA and 338 in I420: a buffer
    // made per frame would fault on most of them every frame. What remains
    // is the muxer's and the encoder's small change, which follows the bit
    // rate, not the picture size.
    constexpr double kLimit = 338 / 10.0;
    temp_dir dir;
    const char *options = R"({"fps":30,"region":{"x":0,"y":0,"w":1280,"h":720}})";
    {
        no_display_scope nd; // every frame is the pattern, every frame new
        EXPECT_LT(faults_per_frame(dir.file("pattern.mp4"), options, nullptr), kLimit);
    }
    xvfb_server x(1280, 720);
    ASSERT_TRUE(x.ok());
    desktop d;
    ASSERT_TRUE(d.ok());
    EXPECT_LT(faults_per_frame(dir.file("screen.mp4"), options, &d), kLimit);
}

} // namespace
