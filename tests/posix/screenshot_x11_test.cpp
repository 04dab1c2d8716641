// The X11 grab and the screenshot export on a private Xvfb: a scene of known
// colours is painted with XCB, grabbed or written as a PNG, and compared
// pixel for pixel; without an X display the PNG is the test pattern.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "screenrecorder/pattern.h"
#include "support/png_read.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "support/x_window_posix.h"
#include "support/xvfb_posix.h"

namespace {

// --- A scene of coloured rectangles on the root window ----------------------

struct area {
    int32_t x, y, w, h;
    uint32_t rgb;
};

// Paints the root window in one colour and maps override-redirect windows of
// other colours on it. The windows live as long as the painter's connection.
class scene {
  public:
    scene(uint32_t background, std::vector<area> areas) : background_(background), areas_(std::move(areas)) {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_) != 0) {
            return;
        }
        xcb_screen_t *s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        width_ = s->width_in_pixels;
        height_ = s->height_in_pixels;
        const uint32_t bg[] = {background};
        xcb_change_window_attributes(c_, s->root, XCB_CW_BACK_PIXEL, bg);
        xcb_clear_area(c_, 0, s->root, 0, 0, 0, 0);
        for (const area &a : areas_) {
            show_colour_window(c_, s, static_cast<int16_t>(a.x), static_cast<int16_t>(a.y),
                               static_cast<uint16_t>(a.w), static_cast<uint16_t>(a.h), a.rgb);
        }
        sync();
    }
    ~scene() { xcb_disconnect(c_); }
    scene(const scene &) = delete;
    scene &operator=(const scene &) = delete;

    bool ok() const { return xcb_connection_has_error(c_) == 0 && width_ > 0; }

    // The colour (0xRRGGBB) at a point of the screen; black off the screen.
    uint32_t at(int64_t x, int64_t y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) {
            return 0;
        }
        uint32_t rgb = background_;
        for (const area &a : areas_) {
            if (x >= a.x && x < int64_t{a.x} + a.w && y >= a.y && y < int64_t{a.y} + a.h) {
                rgb = a.rgb;
            }
        }
        return rgb;
    }

  private:
    void sync() { x_round_trip(c_); }
    xcb_connection_t *c_ = nullptr;
    uint32_t background_;
    std::vector<area> areas_;
    int32_t width_ = 0;
    int32_t height_ = 0;
};

const uint32_t kBackground = 0x203040;
const std::vector<area> kAreas = {
    {0, 0, 30, 20, 0x10e0f0},      // top-left corner
    {100, 50, 200, 100, 0xc08040}, // inside
    {600, 440, 40, 40, 0xff00ff},  // bottom-right corner of a 640 x 480 screen
    {300, 200, 1, 1, 0x010203},    // a single pixel
};

// --- Checking the PNG ---------------------------------------------------------

// Counts the pixels of the image that are not the scene's colour at
// (x0 + column, y0 + row), opaque; reports the first few.
int64_t mismatches(const png_image &img, const scene &s, int32_t x0, int32_t y0) {
    int64_t wrong = 0;
    for (int32_t y = 0; y < img.height; ++y) {
        for (int32_t x = 0; x < img.width; ++x) {
            const uint8_t *p = &img.rgba[(static_cast<size_t>(y) * static_cast<size_t>(img.width) + x) * 4];
            const uint32_t want = s.at(int64_t{x0} + x, int64_t{y0} + y);
            const uint32_t got = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
            if (got != want || p[3] != 255) {
                if (++wrong <= 3) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << "): rgba " << std::hex << got << " a "
                                  << int{p[3]} << ", want " << want << " a ff";
                }
            }
        }
    }
    return wrong;
}

// The PNG holds exactly the test pattern of frame 0.
int64_t pattern_mismatches(const png_image &img) {
    std::vector<uint8_t> bgra(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 4);
    generate_pattern_frame(bgra.data(), img.width, img.height, 0);
    int64_t wrong = 0;
    for (size_t i = 0; i < bgra.size(); i += 4) {
        wrong += img.rgba[i] != bgra[i + 2] || img.rgba[i + 1] != bgra[i + 1] || img.rgba[i + 2] != bgra[i] ||
                 img.rgba[i + 3] != bgra[i + 3];
    }
    return wrong;
}

std::string shoot(const std::string &path, const std::string &options, int32_t *rc) {
    const char *json = nullptr;
    *rc = screenrecorder_screenshot(path.c_str(), options.c_str(), &json);
    return json == nullptr ? std::string() : std::string(json);
}

std::string expected_json(const std::string &path, int32_t w, int32_t h) {
    return "{\"ok\":true,\"output\":\"" + path + "\",\"width\":" + std::to_string(w) +
           ",\"height\":" + std::to_string(h) +
           ",\"size_bytes\":" + std::to_string(std::filesystem::file_size(path)) + "}";
}

// The segments this process created, once the server has let go of the
// last one it was told to detach (closing a grab does not wait for that):
// `expected` as soon as it is reached, else what is left after two seconds.
int our_shm_segments_settled(int expected) {
    int n = count_own_shm_segments();
    for (int i = 0; i < 200 && n != expected; ++i) {
        usleep(10000);
        n = count_own_shm_segments();
    }
    return n;
}

// --- The grab ----------------------------------------------------------------

struct grab_case {
    const char *name;
    int32_t x, y, w, h;
};

void PrintTo(const grab_case &c, std::ostream *os) {
    *os << c.name;
}

const grab_case kGrabCases[] = {
    {"whole_screen", 0, 0, 640, 480},
    {"inside", 90, 40, 220, 120},
    {"single_pixel", 300, 200, 1, 1},
    {"past_left_and_top", -20, -10, 60, 40},
    {"past_right_and_bottom", 620, 460, 50, 40},
    {"larger_than_screen", -10, -10, 660, 500},
    {"wholly_right_of_screen", 700, 0, 10, 10},
    {"wholly_above_screen", 0, -100, 50, 50},
    {"origin_at_32_bit_limit", 2147483647, 2147483647, 8, 8},
    {"origin_at_negative_limit", -2147483647 - 1, 0, 8, 8},
};

class ScreenGrab : public testing::TestWithParam<std::tuple<bool, grab_case>> {
  protected:
    static void SetUpTestSuite() {
        server_ = new xvfb_server(640, 480);
        scene_ = new scene(kBackground, kAreas);
    }
    static void TearDownTestSuite() {
        delete scene_;
        delete server_;
    }
    static xvfb_server *server_;
    static scene *scene_;
};
xvfb_server *ScreenGrab::server_ = nullptr;
scene *ScreenGrab::scene_ = nullptr;

TEST_P(ScreenGrab, MatchesTheSceneWithBlackOffScreen) {
    ASSERT_TRUE(server_->ok());
    ASSERT_TRUE(scene_->ok());
    const bool shm = std::get<0>(GetParam());
    const grab_case &c = std::get<1>(GetParam());
    grab_context ctx{};
    ASSERT_TRUE(posix_grab_open(&ctx, c.w, c.h, shm));
    EXPECT_EQ(ctx.use_shm, shm);
    std::vector<uint8_t> px(static_cast<size_t>(c.w) * c.h * 4 + 4, 0xEE);
    // Twice into the caller's buffer (the second grab into the same segment
    // must be as good as the first), then twice as a view, which may point
    // into the grab's own memory (the second is then the same picture).
    for (int round = 0; round < 4; ++round) {
        bgra_picture view{px.data(), static_cast<size_t>(c.w) * 4, false};
        if (round < 2) {
            ASSERT_TRUE(grab_frame(&ctx, c.x, c.y, px.data()));
        } else {
            ASSERT_TRUE(grab_view(&ctx, c.x, c.y, px.data(), &view));
            EXPECT_GE(view.stride, static_cast<size_t>(c.w) * 4);
            // Only a picture in the grab's own memory can be handed out again.
            EXPECT_EQ(view.unchanged, round == 3 && view.pixels != px.data()) << "round " << round;
        }
        int64_t wrong = 0;
        for (int32_t y = 0; y < c.h; ++y) {
            for (int32_t x = 0; x < c.w; ++x) {
                const uint8_t *p =
                    view.pixels + view.stride * static_cast<size_t>(y) + static_cast<size_t>(x) * 4;
                const int64_t sx = int64_t{c.x} + x;
                const int64_t sy = int64_t{c.y} + y;
                const uint32_t want = scene_->at(sx, sy);
                const uint32_t got = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
                const bool off = sx < 0 || sy < 0 || sx >= 640 || sy >= 480;
                // Off the screen all four bytes are 0, as GDI gives them.
                wrong += got != want || (off && p[3] != 0);
            }
        }
        EXPECT_EQ(wrong, 0) << "round " << round;
        std::memset(px.data(), 0xEE, px.size() - 4);
    }
    EXPECT_EQ(px.back(), 0xEE) << "wrote past the buffer";
    grab_close(&ctx);
    EXPECT_FALSE(ctx.ready);
    EXPECT_EQ(ctx.connection, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Rectangles, ScreenGrab,
                         testing::Combine(testing::Bool(), testing::ValuesIn(kGrabCases)),
                         [](const testing::TestParamInfo<std::tuple<bool, grab_case>> &i) {
                             return std::string(std::get<0>(i.param) ? "shm_" : "plain_") +
                                    std::get<1>(i.param).name;
                         });

TEST(ScreenGrabLifecycle, NotReadyWithoutAUsableScreen) {
    const int before = count_own_shm_segments();
    {
        no_display_scope nd;
        grab_context ctx{};
        EXPECT_FALSE(grab_open(&ctx, 64, 64));
        grab_close(&ctx);
        EXPECT_EQ(ctx.connection, nullptr);
    }
    {
        // A 16-bit screen is not TrueColor at 8 bits a channel: not ready.
        xvfb_server x(320, 240, 16);
        ASSERT_TRUE(x.ok());
        grab_context ctx{};
        EXPECT_FALSE(grab_open(&ctx, 64, 64));
        grab_close(&ctx);
        EXPECT_EQ(ctx.connection, nullptr);
    }
    {
        xvfb_server x(320, 240);
        ASSERT_TRUE(x.ok());
        for (auto [w, h] : {std::pair{0, 10}, std::pair{10, 0}, std::pair{-3, 10}}) {
            grab_context ctx{};
            EXPECT_FALSE(grab_open(&ctx, w, h)) << w << " x " << h;
            grab_close(&ctx);
        }
        // A ready grab, closed twice: the second close finds nothing to do.
        grab_context ctx{};
        ASSERT_TRUE(grab_open(&ctx, 320, 240));
        EXPECT_TRUE(ctx.use_shm);
        grab_close(&ctx);
        grab_close(&ctx);
    }
    EXPECT_EQ(our_shm_segments_settled(before), before) << "a shared-memory segment outlived its grab";
}

TEST(ScreenGrabLifecycle, SegmentIdIsGoneWhileGrabbing) {
    // The segment is marked for removal as soon as both sides are attached,
    // so even a process that dies mid-recording leaves nothing behind.
    xvfb_server x(320, 240);
    ASSERT_TRUE(x.ok());
    const int before = count_own_shm_segments();
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, 320, 240));
    ASSERT_TRUE(ctx.use_shm);
    EXPECT_EQ(ctx.shm_id, -1);
    std::vector<uint8_t> px(320 * 240 * 4);
    EXPECT_TRUE(grab_frame(&ctx, 0, 0, px.data()));
    grab_close(&ctx);
    EXPECT_EQ(our_shm_segments_settled(before), before);
}

TEST(ScreenGrabLifecycle, ServerGoneMeansNoGrab) {
    auto *x = new xvfb_server(320, 240);
    ASSERT_TRUE(x->ok());
    const std::string name = x->display();
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, 32, 32));
    delete x; // Xvfb killed under the open grab
    std::vector<uint8_t> px(32 * 32 * 4);
    EXPECT_FALSE(grab_frame(&ctx, 0, 0, px.data()));
    EXPECT_FALSE(grab_frame(&ctx, 0, 0, px.data()));
    grab_close(&ctx);
}

TEST(ScreenGrabLifecycle, DisplayOverTcpUsesThePlainRequest) {
    // A display reached over the network cannot see our shared memory: the
    // grab takes the plain request and still delivers the screen.
    xvfb_server x(320, 240, 24, true);
    ASSERT_TRUE(x.ok());
    scene s(0x405060, {{10, 10, 50, 50, 0xf0e0d0}});
    ASSERT_TRUE(s.ok());
    setenv("DISPLAY", x.tcp_display().c_str(), 1); // the fixture puts DISPLAY back
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, 64, 64));
    EXPECT_FALSE(ctx.use_shm);
    std::vector<uint8_t> px(64 * 64 * 4);
    ASSERT_TRUE(grab_frame(&ctx, 0, 0, px.data()));
    grab_close(&ctx);
    int64_t wrong = 0;
    for (int32_t y = 0; y < 64; ++y) {
        for (int32_t x0 = 0; x0 < 64; ++x0) {
            const uint8_t *p = &px[(static_cast<size_t>(y) * 64 + x0) * 4];
            wrong += (uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]) != s.at(x0, y);
        }
    }
    EXPECT_EQ(wrong, 0);
}

// --- The screenshot export on a screen ---------------------------------------

struct shot_case {
    const char *name;
    const char *options;
    int32_t x, y, w, h; // where the PNG is expected to come from
};

void PrintTo(const shot_case &c, std::ostream *os) {
    *os << c.name;
}

const shot_case kShotCases[] = {
    {"no_options", "", 0, 0, 640, 480},
    {"region_inside", R"({"region":{"x":90,"y":40,"w":220,"h":120}})", 90, 40, 220, 120},
    {"trimmed_at_right", R"({"region":{"x":600,"y":0,"w":400,"h":100}})", 600, 0, 40, 100},
    {"negative_origin", R"({"region":{"x":-50,"y":-20,"w":300,"h":200}})", 0, 0, 300, 200},
    // Wholly off the screen: 100 wide, black but opaque.
    {"origin_past_screen", R"({"region":{"x":2000,"y":0,"w":400,"h":100}})", 2000, 0, 100, 100},
    {"origin_without_region", R"({"region":{"x":100,"y":50,"w":0,"h":7}})", 100, 50, 540, 430},
    {"malformed_options", "{region:", 0, 0, 640, 480},
};

class ScreenshotOnScreen : public testing::TestWithParam<shot_case> {
  protected:
    static void SetUpTestSuite() {
        server_ = new xvfb_server(640, 480);
        scene_ = new scene(kBackground, kAreas);
    }
    static void TearDownTestSuite() {
        delete scene_;
        delete server_;
    }
    static xvfb_server *server_;
    static scene *scene_;
};
xvfb_server *ScreenshotOnScreen::server_ = nullptr;
scene *ScreenshotOnScreen::scene_ = nullptr;

TEST_P(ScreenshotOnScreen, PngHoldsTheScreenOpaque) {
    ASSERT_TRUE(server_->ok());
    ASSERT_TRUE(scene_->ok());
    const shot_case &c = GetParam();
    temp_dir dir;
    const std::string path = dir.file("shot.png");
    int32_t rc = 0;
    const std::string json = shoot(path, c.options, &rc);
    ASSERT_EQ(rc, 0) << screenrecorder_last_error();
    EXPECT_EQ(json, expected_json(path, c.w, c.h));
    png_image img = read_library_png(path);
    ASSERT_EQ(img.error, "");
    ASSERT_EQ(img.width, c.w);
    ASSERT_EQ(img.height, c.h);
    EXPECT_EQ(mismatches(img, *scene_, c.x, c.y), 0);
}

INSTANTIATE_TEST_SUITE_P(Regions, ScreenshotOnScreen, testing::ValuesIn(kShotCases),
                         [](const testing::TestParamInfo<shot_case> &i) {
                             return std::string(i.param.name);
                         });

TEST(Screenshot, FullHdScreenIsTheDocumentedFile) {
    xvfb_server x(1920, 1080);
    ASSERT_TRUE(x.ok());
    scene s(0x0a0b0c, {{1900, 1060, 20, 20, 0xfefdfc}, {0, 0, 1, 1, 0xffffff}});
    ASSERT_TRUE(s.ok());
    temp_dir dir;
    const std::string path = dir.file("full.png");
    int32_t rc = 0;
    const std::string json = shoot(path, "", &rc);
    ASSERT_EQ(rc, 0) << screenrecorder_last_error();
    EXPECT_EQ(json, "{\"ok\":true,\"output\":\"" + path +
                        "\",\"width\":1920,\"height\":1080,\"size_bytes\":8296178}");
    png_image img = read_library_png(path);
    ASSERT_EQ(img.error, "");
    EXPECT_EQ(mismatches(img, s, 0, 0), 0);
}

TEST(Screenshot, EachMonitorIsTakenWhereItLiesUnlessARegionSaysWhere) {
    xvfb_server x(640, 480);
    ASSERT_TRUE(x.ok());
    // Left half red, right half green; monitor 1 is the top of the right half.
    scene s(0x000000, {{0, 0, 320, 480, 0xff0000}, {320, 0, 320, 480, 0x00ff00}});
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(run_x_command("xrandr --setmonitor L 320/85x480/127+0+0 none >/dev/null 2>&1"), 0);
    ASSERT_EQ(run_x_command("xrandr --setmonitor R 300/80x200/53+320+0 none >/dev/null 2>&1"), 0);
    struct monitor_case {
        const char *options;
        int32_t x, y, w, h; // where the PNG is expected to come from
    };
    const monitor_case cases[] = {
        {R"({"display":1})", 320, 0, 300, 200},
        {R"({"display":0})", 0, 0, 320, 480},
        // x and y without a size move within the display.
        {R"({"display":1,"region":{"x":10,"y":20}})", 330, 20, 290, 180},
        // A region is in coordinates of the whole screen, whatever the display,
        // and trimmed to the display's size as ever (nothing left: 100 wide).
        {R"({"display":0,"region":{"x":400,"y":40,"w":64,"h":32}})", 400, 40, 100, 32},
        {R"({"display":1,"region":{"x":10,"y":40,"w":64,"h":32}})", 10, 40, 64, 32},
    };
    temp_dir dir;
    const std::string path = dir.file("monitor.png");
    for (const monitor_case &c : cases) {
        SCOPED_TRACE(c.options);
        int32_t rc = 0;
        const std::string json = shoot(path, c.options, &rc);
        ASSERT_EQ(rc, 0) << screenrecorder_last_error();
        EXPECT_EQ(json, expected_json(path, c.w, c.h));
        png_image img = read_library_png(path);
        ASSERT_EQ(img.error, "");
        ASSERT_EQ(img.width, c.w);
        ASSERT_EQ(img.height, c.h);
        EXPECT_EQ(mismatches(img, s, c.x, c.y), 0);
    }

    // Three monitors now (the two made and the screen's own): 3 is too far.
    const char *before = "";
    const char *out = before;
    EXPECT_EQ(screenrecorder_screenshot(path.c_str(), R"({"display":3})", &out), -2);
    EXPECT_STREQ(screenrecorder_last_error(), "display index 3 out of range");
    EXPECT_EQ(out, before);
}

TEST(Screenshot, UnsupportedScreenGivesThePattern) {
    xvfb_server x(320, 200, 16);
    ASSERT_TRUE(x.ok());
    temp_dir dir;
    const std::string path = dir.file("p.png");
    int32_t rc = 0;
    const std::string json = shoot(path, "", &rc);
    ASSERT_EQ(rc, 0) << screenrecorder_last_error();
    EXPECT_EQ(json, expected_json(path, 320, 200));
    png_image img = read_library_png(path);
    ASSERT_EQ(img.error, "");
    EXPECT_EQ(pattern_mismatches(img), 0);
}

// --- Without an X display -------------------------------------------------------

TEST(ScreenshotWithoutDisplay, IsThePatternOfItsSize) {
    no_display_scope nd;
    temp_dir dir;
    struct {
        const char *options;
        int32_t w, h;
    } cases[] = {{"", 1920, 1080}, {R"({"region":{"x":5,"y":7,"w":300,"h":17}})", 300, 17}};
    for (auto c : cases) {
        const std::string path = dir.file("pattern.png");
        int32_t rc = 0;
        const std::string json = shoot(path, c.options, &rc);
        ASSERT_EQ(rc, 0) << screenrecorder_last_error();
        EXPECT_EQ(json, expected_json(path, c.w, c.h));
        png_image img = read_library_png(path);
        ASSERT_EQ(img.error, "");
        ASSERT_EQ(img.width, c.w);
        ASSERT_EQ(img.height, c.h);
        EXPECT_EQ(pattern_mismatches(img), 0) << c.options;
    }
    EXPECT_EQ(std::filesystem::file_size(dir.file("pattern.png")),
              8u + 25 + 12 + 2 + (300 * 4 + 1) * 17 + 5 + 4 + 12);
}

TEST(ScreenshotWithoutDisplay, FailuresAndTheResultBuffer) {
    no_display_scope nd;
    temp_dir dir;
    const std::string small = R"({"region":{"w":16,"h":16}})";
    const char *first = nullptr;
    const std::string a = dir.file("a.png");
    ASSERT_EQ(screenrecorder_screenshot(a.c_str(), small.c_str(), &first), 0);
    ASSERT_NE(first, nullptr);
    const std::string first_text = first;

    struct failure {
        const char *path;
        const char *options;
        int32_t rc;
        std::string message;
    };
    const std::string missing = dir.file("no/such/dir/x.png");
    const failure failures[] = {
        {nullptr, nullptr, -1, "output PNG path cannot be empty"},
        {"", small.c_str(), -1, "output PNG path cannot be empty"},
        {a.c_str(), R"({"display":1})", -2, "display index 1 out of range"},
        {a.c_str(), R"({"display":-1})", -2, "display index -1 out of range"},
        {missing.c_str(), small.c_str(), -4, "failed to write PNG file '" + missing + "': rc -2"},
    };
    for (const failure &f : failures) {
        const char *sentinel = "untouched";
        const char *out = sentinel;
        EXPECT_EQ(screenrecorder_screenshot(f.path, f.options, &out), f.rc) << f.message;
        EXPECT_EQ(std::string(screenrecorder_last_error()), f.message);
        EXPECT_EQ(out, sentinel) << "a failure stored a result";
        EXPECT_EQ(std::string(first), first_text) << "a failure rewrote the result text";
    }

    // Without out_json the call still succeeds and rewrites the same buffer;
    // a backslash in the path is doubled in the text.
    const std::string b = dir.file("b\\c.png");
    ASSERT_EQ(screenrecorder_screenshot(b.c_str(), small.c_str(), nullptr), 0);
    std::string escaped = dir.file("b\\\\c.png");
    EXPECT_EQ(std::string(first), "{\"ok\":true,\"output\":\"" + escaped +
                                      "\",\"width\":16,\"height\":16,\"size_bytes\":" +
                                      std::to_string(std::filesystem::file_size(b)) + "}");
    // A successful call leaves the last failure's message alone.
    EXPECT_EQ(std::string(screenrecorder_last_error()), failures[4].message);
}

TEST(ScreenshotWithoutDisplay, LongPathCutsTheResultText) {
    no_display_scope nd;
    temp_dir dir;
    std::string path = dir.path();
    while (path.size() < 1100) {
        path += "/" + std::string(200, 'd');
        std::filesystem::create_directory(path);
    }
    path += "/shot.png";
    const char *out = nullptr;
    ASSERT_EQ(screenrecorder_screenshot(path.c_str(), R"({"region":{"w":4,"h":4}})", &out), 0)
        << screenrecorder_last_error();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::strlen(out), 1023u);
    EXPECT_EQ(std::string(out).rfind("{\"ok\":true,\"output\":\"" + path.substr(0, 100), 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(path));
}

} // namespace
