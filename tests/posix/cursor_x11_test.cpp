// The mouse pointer in screenshots and recordings on a private Xvfb: a test
// client covers the screen with a window of one colour that carries a
// pointer image of its own, warps the pointer to known places and compares
// what the library wrote, pixel for pixel for the PNGs.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "screenrecorder/pattern.h"
#include "support/ffprobe_posix.h"
#include "support/files.h"
#include "support/png_read.h"
#include "support/temp_dir.h"
#include "support/x_window_posix.h"
#include "support/xvfb_posix.h"

namespace {

constexpr uint32_t kBackground = 0x203040;
constexpr uint32_t kFore = 0xff0000; // the pointer's foreground: red
constexpr uint32_t kBack = 0x0000ff; // and its background: blue

// A pointer shape built from two bitmaps: a bar `bar` rows high across the
// whole width in the foreground colour, and a column `bar` wide down the
// left side in the background colour; the rest is transparent.
struct shape {
    int32_t w, h, bar, hot_x, hot_y;
    // The colour the pointer puts at (x, y) of its image, or -1 for none.
    int64_t at(int64_t x, int64_t y) const {
        if (x < 0 || y < 0 || x >= w || y >= h) {
            return -1;
        }
        if (y < bar) {
            return kFore;
        }
        return x < bar ? int64_t{kBack} : -1;
    }
};

constexpr shape kArrow{12, 10, 3, 3, 2};
constexpr shape kBlock{6, 6, 6, 0, 0}; // all foreground
constexpr shape kInvisible{8, 8, 0, 4, 4};

// The client that owns the screen: one override-redirect window over all of
// it, whose pointer image the test picks.
class pointer_screen {
  public:
    pointer_screen() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_) != 0) {
            return;
        }
        const xcb_screen_t *s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        root_ = s->root;
        width_ = s->width_in_pixels;
        height_ = s->height_in_pixels;
        window_ = show_colour_window(c_, s, 0, 0, static_cast<uint16_t>(width_),
                                     static_cast<uint16_t>(height_), kBackground);
        sync();
    }
    ~pointer_screen() { xcb_disconnect(c_); }
    pointer_screen(const pointer_screen &) = delete;
    pointer_screen &operator=(const pointer_screen &) = delete;

    bool ok() const { return xcb_connection_has_error(c_) == 0 && width_ > 0; }

    // Gives the window the pointer image of `sh`.
    void use(const shape &sh) {
        const xcb_pixmap_t source = bitmap(sh, false);
        const xcb_pixmap_t mask = bitmap(sh, true);
        const xcb_cursor_t cursor = xcb_generate_id(c_);
        xcb_create_cursor(c_, cursor, source, mask, 0xffff, 0, 0, 0, 0, 0xffff,
                          static_cast<uint16_t>(sh.hot_x), static_cast<uint16_t>(sh.hot_y));
        const uint32_t values[] = {cursor};
        xcb_change_window_attributes(c_, window_, XCB_CW_CURSOR, values);
        xcb_free_cursor(c_, cursor);
        xcb_free_pixmap(c_, source);
        xcb_free_pixmap(c_, mask);
        sync();
    }

    void move(int32_t x, int32_t y) {
        xcb_warp_pointer(c_, XCB_NONE, root_, 0, 0, 0, 0, static_cast<int16_t>(x), static_cast<int16_t>(y));
        sync();
    }

  private:
    // The mask bitmap (every pixel the pointer covers) or the source bitmap
    // (the foreground pixels) of `sh`, drawn with filled rectangles so that no
    // bit order matters.
    xcb_pixmap_t bitmap(const shape &sh, bool mask) {
        const xcb_pixmap_t p = xcb_generate_id(c_);
        xcb_create_pixmap(c_, 1, p, root_, static_cast<uint16_t>(sh.w), static_cast<uint16_t>(sh.h));
        const xcb_gcontext_t gc = xcb_generate_id(c_);
        uint32_t value = 0;
        xcb_create_gc(c_, gc, p, XCB_GC_FOREGROUND, &value);
        const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(sh.w), static_cast<uint16_t>(sh.h)};
        xcb_poly_fill_rectangle(c_, p, gc, 1, &all);
        value = 1;
        xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, &value);
        const auto bar = static_cast<uint16_t>(sh.bar);
        if (bar > 0) {
            const xcb_rectangle_t rects[] = {{0, 0, static_cast<uint16_t>(sh.w), bar},
                                             {0, 0, bar, static_cast<uint16_t>(sh.h)}};
            xcb_poly_fill_rectangle(c_, p, gc, mask ? 2 : 1, rects);
        }
        xcb_free_gc(c_, gc);
        return p;
    }
    void sync() { x_round_trip(c_); }

    xcb_connection_t *c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
};

// What the screen shows at (x, y) with the pointer of `sh` at (px, py), or
// without it when `sh` is null.
uint32_t expected_at(int64_t x, int64_t y, const shape *sh, int32_t px, int32_t py) {
    if (sh != nullptr) {
        const int64_t c = sh->at(x - (px - sh->hot_x), y - (py - sh->hot_y));
        if (c >= 0) {
            return static_cast<uint32_t>(c);
        }
    }
    return kBackground;
}

// Counts the PNG's pixels that differ from what is expected of the rectangle
// at (x0, y0); reports the first few.
int64_t mismatches(const png_image &img, int32_t x0, int32_t y0, const shape *sh, int32_t px, int32_t py) {
    int64_t wrong = 0;
    for (int32_t y = 0; y < img.height; ++y) {
        for (int32_t x = 0; x < img.width; ++x) {
            const uint8_t *p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
            const uint32_t got = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            const uint32_t want = expected_at(int64_t{x0} + x, int64_t{y0} + y, sh, px, py);
            if (got != want || p[3] != 255) {
                if (++wrong <= 3) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << "): " << std::hex << got << " alpha "
                                  << int{p[3]} << ", want " << want;
                }
            }
        }
    }
    return wrong;
}

class CursorOnScreen : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new xvfb_server(320, 240);
        screen_ = new pointer_screen();
    }
    static void TearDownTestSuite() {
        delete screen_;
        delete server_;
    }
    void SetUp() override {
        ASSERT_TRUE(server_->ok());
        ASSERT_TRUE(screen_->ok());
        screen_->use(kArrow);
    }

    png_image shot(const std::string &options) {
        const std::string path = dir_.file("shot.png");
        EXPECT_EQ(screenrecorder_screenshot(path.c_str(), options.c_str(), nullptr), 0)
            << screenrecorder_last_error();
        png_image img = read_library_png(path);
        EXPECT_EQ(img.error, "");
        return img;
    }

    static xvfb_server *server_;
    static pointer_screen *screen_;
    temp_dir dir_;
};
xvfb_server *CursorOnScreen::server_ = nullptr;
pointer_screen *CursorOnScreen::screen_ = nullptr;

struct shot_case {
    const char *name;
    const char *options;
    int32_t px, py;     // where the pointer is
    int32_t x, y, w, h; // the rectangle the PNG shows
    bool pointer;       // whether it shows the pointer
};

void PrintTo(const shot_case &c, std::ostream *os) {
    *os << c.name;
}

const shot_case kShots[] = {
    {"whole_screen", R"({"cursor":true})", 100, 80, 0, 0, 320, 240, true},
    {"hot_spot_on_the_origin", R"({"cursor":true})", 0, 0, 0, 0, 320, 240, true},
    {"clipped_by_the_screen_edge", R"({"cursor":true})", 315, 238, 0, 0, 320, 240, true},
    {"region", R"({"cursor":true,"region":{"x":90,"y":70,"w":40,"h":30}})", 100, 80, 90, 70, 40, 30, true},
    {"half_outside_the_region", R"({"cursor":true,"region":{"x":100,"y":80,"w":40,"h":30}})", 104, 81, 100,
     80, 40, 30, true},
    {"outside_the_region", R"({"cursor":true,"region":{"x":200,"y":150,"w":40,"h":30}})", 100, 80, 200, 150,
     40, 30, true},
    {"no_key", R"({})", 100, 80, 0, 0, 320, 240, false},
    {"cursor_false", R"({"cursor":false})", 100, 80, 0, 0, 320, 240, false},
    {"cursor_as_a_string", R"({"cursor":"true"})", 100, 80, 0, 0, 320, 240, false},
    {"region_without_the_key", R"({"region":{"x":90,"y":70,"w":40,"h":30}})", 100, 80, 90, 70, 40, 30, false},
};

class CursorShots : public CursorOnScreen, public testing::WithParamInterface<shot_case> {};

TEST_P(CursorShots, ShowThePointerOnlyWhenAskedAtItsHotSpot) {
    const shot_case &c = GetParam();
    screen_->move(c.px, c.py);
    const png_image img = shot(c.options);
    ASSERT_EQ(img.width, c.w);
    ASSERT_EQ(img.height, c.h);
    EXPECT_EQ(mismatches(img, c.x, c.y, c.pointer ? &kArrow : nullptr, c.px, c.py), 0);
}

INSTANTIATE_TEST_SUITE_P(Places, CursorShots, testing::ValuesIn(kShots),
                         [](const testing::TestParamInfo<shot_case> &i) {
                             return std::string(i.param.name);
                         });

TEST_F(CursorOnScreen, WithoutTheKeyTheFileIsByteForByteTheOneWithoutAPointer) {
    // The pointer sits in the middle of the rectangle; asking for no pointer
    // in any way gives the very same file as before the key existed.
    screen_->move(60, 50);
    const std::string options = R"("region":{"x":40,"y":40,"w":64,"h":32})";
    std::vector<std::vector<uint8_t>> files;
    for (const std::string &cursor : {std::string(), std::string(R"("cursor":false,)"),
                                      std::string(R"("cursor":1,)"), std::string(R"("cursor":null,)")}) {
        const std::string path = dir_.file("plain.png");
        ASSERT_EQ(screenrecorder_screenshot(path.c_str(), ("{" + cursor + options + "}").c_str(), nullptr),
                  0);
        files.push_back(read_file_bytes(path));
    }
    for (const auto &f : files) {
        EXPECT_EQ(f, files[0]);
    }
    const png_image img = read_library_png(dir_.file("plain.png"));
    EXPECT_EQ(mismatches(img, 40, 40, nullptr, 0, 0), 0);
}

TEST_F(CursorOnScreen, AnInvisiblePointerDrawsNothing) {
    screen_->use(kInvisible);
    screen_->move(100, 80);
    const png_image img = shot(R"({"cursor":true,"region":{"x":80,"y":60,"w":40,"h":40}})");
    EXPECT_EQ(mismatches(img, 80, 60, nullptr, 0, 0), 0);
}

TEST_F(CursorOnScreen, GrabFollowsThePointerAndItsImageFrameByFrame) {
    // One open grab, as a recording uses it: the pointer moves, then changes
    // its image, and each next frame shows it.
    constexpr int32_t w = 64, h = 48;
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, w, h));
    grab_include_cursor(&ctx, true);
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    struct step {
        const shape *sh;
        int32_t px, py;
    } steps[] = {
        {&kArrow, 20, 20}, {&kArrow, 50, 30}, {&kBlock, 50, 30}, {&kBlock, 5, 40}, {&kArrow, 200, 200}};
    for (const step &s : steps) {
        screen_->use(*s.sh);
        screen_->move(s.px, s.py);
        ASSERT_TRUE(grab_frame(&ctx, 0, 0, px.data()));
        int64_t wrong = 0;
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t *p = &px[(static_cast<size_t>(y) * w + x) * 4];
                const uint32_t got = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
                wrong += got != expected_at(x, y, s.sh, s.px, s.py);
            }
        }
        EXPECT_EQ(wrong, 0) << "pointer at " << s.px << ", " << s.py;
    }
    grab_close(&ctx);
}

// Counts the pixels of a w x h picture (`stride` bytes a row) that are not
// what the screen shows with the pointer of `sh` at (px, py).
int64_t picture_mismatches(const uint8_t *pixels, size_t stride, int32_t w, int32_t h, const shape *sh,
                           int32_t px, int32_t py) {
    int64_t wrong = 0;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t *p = pixels + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4;
            const uint32_t got = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
            wrong += got != expected_at(x, y, sh, px, py);
        }
    }
    return wrong;
}

TEST_F(CursorOnScreen, ViewOfAStillScreenFollowsThePointerAndLeavesNothingBehind) {
    // The recording's grab over a screen where nothing is drawn: each move of
    // the pointer is a new picture with the pointer in its new place and the
    // screen restored where it was; a pointer that stays, or that moves
    // where the rectangle does not reach, leaves the picture as it was.
    constexpr int32_t w = 64, h = 48;
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, w, h));
    grab_include_cursor(&ctx, true);
    std::vector<uint8_t> scratch(static_cast<size_t>(w) * h * 4);
    struct step {
        int32_t px, py;
        bool shown;     // the pointer reaches into the rectangle
        bool unchanged; // what the view reports
    } steps[] = {{20, 20, true, false},   {20, 20, true, true},  {40, 30, true, false},
                 {40, 30, true, true},    {62, 46, true, false}, {300, 200, false, false},
                 {310, 210, false, true}, {5, 5, true, false}};
    bool first = true;
    for (const step &s : steps) {
        SCOPED_TRACE(std::to_string(s.px) + ", " + std::to_string(s.py));
        screen_->move(s.px, s.py);
        bgra_picture p{};
        ASSERT_TRUE(grab_view(&ctx, 0, 0, scratch.data(), &p));
        if (!first) {
            EXPECT_EQ(p.unchanged, s.unchanged);
        }
        first = false;
        EXPECT_EQ(picture_mismatches(p.pixels, p.stride, w, h, s.shown ? &kArrow : nullptr, s.px, s.py), 0);
    }
    grab_close(&ctx);
}

TEST(CursorWithoutAGrab, ThePatternGetsNoPointer) {
    // A 16-bit screen cannot be grabbed: the screenshot is the pattern, with
    // no pointer on it even though the server has one.
    xvfb_server x(320, 200, 16);
    ASSERT_TRUE(x.ok());
    temp_dir dir;
    const std::string path = dir.file("p.png");
    ASSERT_EQ(screenrecorder_screenshot(path.c_str(), R"({"cursor":true,"region":{"w":64,"h":64}})", nullptr),
              0);
    const png_image img = read_library_png(path);
    ASSERT_EQ(img.error, "");
    std::vector<uint8_t> bgra(64 * 64 * 4);
    generate_pattern_frame(bgra.data(), 64, 64, 0);
    int64_t wrong = 0;
    for (size_t i = 0; i < bgra.size(); i += 4) {
        wrong += img.rgba[i] != bgra[i + 2] || img.rgba[i + 1] != bgra[i + 1] || img.rgba[i + 2] != bgra[i];
    }
    EXPECT_EQ(wrong, 0);
}

// --- Recording ------------------------------------------------------------------

struct box {
    int32_t x0 = 0, y0 = 0, x1 = -1, y1 = -1; // inclusive; empty when x1 < x0
};

// The bounding box of the pixels of a decoded frame that are far from the
// background: where the pointer is.
box pointer_box(const std::vector<uint8_t> &bgra, int32_t w, int32_t h) {
    box b{w, h, -1, -1};
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t *p = &bgra[(static_cast<size_t>(y) * w + x) * 4];
            const int d = std::abs(p[0] - 0x40) + std::abs(p[1] - 0x30) + std::abs(p[2] - 0x20);
            if (d > 90) {
                b.x0 = std::min(b.x0, x);
                b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x);
                b.y1 = std::max(b.y1, y);
            }
        }
    }
    return b;
}

void expect_box_near(const box &got, const shape &sh, int32_t px, int32_t py) {
    // The codec blurs an edge by a pixel or so.
    EXPECT_NEAR(got.x0, px - sh.hot_x, 2);
    EXPECT_NEAR(got.y0, py - sh.hot_y, 2);
    EXPECT_NEAR(got.x1, px - sh.hot_x + sh.w - 1, 2);
    EXPECT_NEAR(got.y1, py - sh.hot_y + sh.h - 1, 2);
}

TEST_F(CursorOnScreen, RecordingShowsThePointerWhereItWasInEachFrame) {
    constexpr int32_t w = 96, h = 64;
    screen_->move(30, 20);
    const std::string path = dir_.file("pointer.mp4");
    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(path.c_str(),
                                   R"({"cursor":true,"fps":10,"region":{"x":0,"y":0,"w":96,"h":64}})", &job),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screen_->use(kBlock);
    screen_->move(70, 40);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &text), 0);
    long long frames = 0;
    const char *f = std::strstr(text, "\"frames\":");
    ASSERT_NE(f, nullptr) << text;
    frames = std::atoll(f + 9);
    ASSERT_GE(frames, 6) << text;

    const std::vector<uint8_t> first = decode_video_frame(path, 0, w, h);
    const std::vector<uint8_t> last = decode_video_frame(path, static_cast<int>(frames - 1), w, h);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(last.empty());
    {
        SCOPED_TRACE("first frame");
        expect_box_near(pointer_box(first, w, h), kArrow, 30, 20);
    }
    {
        SCOPED_TRACE("last frame");
        expect_box_near(pointer_box(last, w, h), kBlock, 70, 40);
    }
}

} // namespace
