// Screenshots in a row, as a host takes them: each file is byte for byte the
// PNG of what is on the screen at that moment, whatever the screenshots
// before it took (of other sizes, on a screen since resized or a server
// since replaced, in a forked child), single grabs from two threads at once
// are both right, and the process keeps at most one shared-memory segment
// between them.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "png_writer/png_writer.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "support/x_window_posix.h"
#include "support/xvfb_posix.h"

namespace {

constexpr int32_t kScreenW = 640;
constexpr int32_t kScreenH = 480;
constexpr uint32_t kBackground = 0x203040;

struct area {
    int32_t x, y, w, h;
    uint32_t rgb;
};

// The screen as the test drew it: the root in one colour and override-
// redirect windows over it, later ones on top. Windows live as long as the
// painter's connection, or until taken away.
class painter {
  public:
    painter() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_) != 0) {
            return;
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        width_ = screen_->width_in_pixels;
        height_ = screen_->height_in_pixels;
        const uint32_t bg[] = {kBackground};
        xcb_change_window_attributes(c_, screen_->root, XCB_CW_BACK_PIXEL, bg);
        xcb_clear_area(c_, 0, screen_->root, 0, 0, 0, 0);
        x_round_trip(c_);
    }
    ~painter() { xcb_disconnect(c_); }
    painter(const painter &) = delete;
    painter &operator=(const painter &) = delete;

    bool ok() const { return xcb_connection_has_error(c_) == 0 && screen_ != nullptr; }

    void show(const area &a) {
        windows_.push_back(show_colour_window(c_, screen_, static_cast<int16_t>(a.x),
                                              static_cast<int16_t>(a.y), static_cast<uint16_t>(a.w),
                                              static_cast<uint16_t>(a.h), a.rgb));
        areas_.push_back(a);
        x_round_trip(c_);
    }
    // The screen is now w x h (resized with RandR).
    void resized(int32_t w, int32_t h) {
        width_ = w;
        height_ = h;
        x_round_trip(c_);
    }
    void take_last_away() {
        xcb_destroy_window(c_, windows_.back());
        windows_.pop_back();
        areas_.pop_back();
        x_round_trip(c_);
    }

    // The PNG the library is expected to write for the w x h rectangle at
    // (x, y): the drawn colours, black off the screen, every pixel opaque.
    std::string expected_png(const temp_dir &dir, int32_t x, int32_t y, int32_t w, int32_t h) const {
        std::vector<uint8_t> bgra(static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
        for (int32_t row = 0; row < h; ++row) {
            for (int32_t col = 0; col < w; ++col) {
                const uint32_t rgb = at(int64_t{x} + col, int64_t{y} + row);
                uint8_t *p = &bgra[(static_cast<size_t>(row) * static_cast<size_t>(w) + col) * 4];
                p[0] = static_cast<uint8_t>(rgb);
                p[1] = static_cast<uint8_t>(rgb >> 8);
                p[2] = static_cast<uint8_t>(rgb >> 16);
            }
        }
        const std::string path = dir.file("expected-" + std::to_string(reference_++) + ".png");
        EXPECT_EQ(write_png_bgrx(path.c_str(), w, h, bgra.data(), w * 4), 0);
        return file_bytes(path);
    }

    // Pixels of a grabbed picture that are not the drawn colour at their
    // place on the screen.
    int64_t mismatches(const bgra_picture &picture, int32_t x, int32_t y, int32_t w, int32_t h) const {
        int64_t wrong = 0;
        for (int32_t row = 0; row < h; ++row) {
            const uint8_t *px = picture.pixels + picture.stride * static_cast<size_t>(row);
            for (int32_t col = 0; col < w; ++col, px += 4) {
                const uint32_t got = uint32_t{px[2]} << 16 | uint32_t{px[1]} << 8 | px[0];
                wrong += got != at(int64_t{x} + col, int64_t{y} + row);
            }
        }
        return wrong;
    }

    static std::string file_bytes(const std::string &path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

  private:
    uint32_t at(int64_t x, int64_t y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) {
            return 0;
        }
        uint32_t rgb = kBackground;
        for (const area &a : areas_) {
            if (x >= a.x && x < int64_t{a.x} + a.w && y >= a.y && y < int64_t{a.y} + a.h) {
                rgb = a.rgb;
            }
        }
        return rgb;
    }

    xcb_connection_t *c_ = nullptr;
    const xcb_screen_t *screen_ = nullptr;
    std::vector<xcb_window_t> windows_;
    std::vector<area> areas_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    mutable int reference_ = 0;
};

struct shot {
    const char *options;
    int32_t x, y, w, h; // where the PNG comes from
};

// Sizes up and down, so that a kept segment is reused when big enough and
// replaced when too small, and a rectangle that leaves the screen after one
// that filled it.
const shot kShots[] = {
    {R"({"region":{"x":90,"y":40,"w":220,"h":120}})", 90, 40, 220, 120},
    {"", 0, 0, kScreenW, kScreenH},
    {R"({"region":{"x":300,"y":200,"w":1,"h":1}})", 300, 200, 1, 1},
    {R"({"region":{"x":600,"y":460,"w":100,"h":50}})", 600, 460, 40, 20},
    {R"({"region":{"x":-50,"y":-20,"w":300,"h":200}})", 0, 0, 300, 200},
    {"", 0, 0, kScreenW, kScreenH},
};

// Takes the screenshot and compares its bytes with the expected PNG.
void expect_shot(const painter &p, const temp_dir &dir, const std::string &name, const shot &s) {
    const std::string path = dir.file(name);
    ASSERT_EQ(screenrecorder_screenshot(path.c_str(), s.options, nullptr), 0) << screenrecorder_last_error();
    EXPECT_TRUE(painter::file_bytes(path) == p.expected_png(dir, s.x, s.y, s.w, s.h))
        << name << " (" << s.options << ") is not the PNG of the screen";
}

class ScreenshotRepeat : public testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new xvfb_server(kScreenW, kScreenH); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server_->ok()); }
    static xvfb_server *server_;
};
xvfb_server *ScreenshotRepeat::server_ = nullptr;

TEST_F(ScreenshotRepeat, EachFileIsThePngOfTheScreenWhateverCameBefore) {
    painter p;
    ASSERT_TRUE(p.ok());
    p.show({0, 0, 30, 20, 0x10e0f0});
    p.show({100, 50, 200, 100, 0xc08040});
    p.show({600, 440, 40, 40, 0xff00ff});
    temp_dir dir;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < std::size(kShots); ++i) {
            SCOPED_TRACE("round " + std::to_string(round) + ", shot " + std::to_string(i));
            expect_shot(p, dir, "shot.png", kShots[i]);
        }
    }
}

TEST_F(ScreenshotRepeat, TheNextScreenshotShowsWhatChanged) {
    painter p;
    ASSERT_TRUE(p.ok());
    temp_dir dir;
    const shot whole = kShots[1];
    const shot part = kShots[0];
    expect_shot(p, dir, "before.png", whole);
    // A window appears, changes colour (a new one over it), and goes again:
    // every screenshot of the same size after each step shows that step.
    p.show({120, 60, 64, 48, 0xf0f0f0});
    expect_shot(p, dir, "shown.png", whole);
    expect_shot(p, dir, "shown-part.png", part);
    p.show({120, 60, 64, 48, 0x0000ff});
    expect_shot(p, dir, "recoloured.png", whole);
    p.take_last_away();
    p.take_last_away();
    expect_shot(p, dir, "gone.png", whole);
    expect_shot(p, dir, "gone-part.png", part);
}

// The connection a screenshot leaves for the next one is asked before use:
// a screen resized since, or a server that went away (and another that took
// its place, perhaps under the same name), gives the next screenshot the
// screen as it is now.
TEST_F(ScreenshotRepeat, AResizedScreenIsTakenAtItsNewSize) {
    painter p;
    ASSERT_TRUE(p.ok());
    p.show({100, 50, 300, 300, 0xc08040});
    temp_dir dir;
    const shot whole = kShots[1];
    expect_shot(p, dir, "before.png", whole);
    run_x_command("xrandr --fb 320x240 >/dev/null 2>&1");
    p.resized(320, 240);
    expect_shot(p, dir, "smaller.png", {"", 0, 0, 320, 240});
    expect_shot(p, dir, "region.png",
                {R"({"region":{"x":200,"y":100,"w":200,"h":200}})", 200, 100, 120, 140});
    // Wholly past the new edge, inside the old one: black, not refused.
    expect_shot(p, dir, "past.png", {R"({"region":{"x":400,"y":0,"w":50,"h":50}})", 400, 0, 100, 50});
    run_x_command("xrandr --fb 640x480 >/dev/null 2>&1");
    p.resized(kScreenW, kScreenH);
    expect_shot(p, dir, "again.png", whole);
}

TEST(ScreenshotServers, TheNextServerIsTakenWhenTheFirstWentAway) {
    temp_dir dir;
    std::string first_name;
    {
        xvfb_server first(320, 240);
        ASSERT_TRUE(first.ok());
        first_name = first.display();
        painter p;
        ASSERT_TRUE(p.ok());
        p.show({10, 10, 50, 50, 0xff0000});
        expect_shot(p, dir, "first.png", {"", 0, 0, 320, 240});
    }
    xvfb_server second(400, 300);
    ASSERT_TRUE(second.ok());
    painter p;
    ASSERT_TRUE(p.ok());
    p.show({20, 30, 60, 40, 0x00ff00});
    SCOPED_TRACE(second.display() == first_name ? "the same display name" : "another display name");
    expect_shot(p, dir, "second.png", {"", 0, 0, 400, 300});
    expect_shot(p, dir, "second-again.png", {"", 0, 0, 400, 300});
}

// Two threads taking single pictures at once, as two screenshots do under
// the export (whose result text is one buffer for the process: a host makes
// its calls one at a time, so the threads call the grab beneath it). One of
// them finds the kept segment busy and grabs into one of its own.
TEST_F(ScreenshotRepeat, TwoThreadsAtOnceBothGetTheirPictures) {
    painter p;
    ASSERT_TRUE(p.ok());
    p.show({0, 0, 320, 480, 0xff0000});
    p.show({320, 0, 320, 480, 0x00ff00});
    const area sides[] = {{0, 0, 320, 480, 0xff0000}, {280, 100, 360, 300, 0}};
    std::atomic<int> wrong[2] = {0, 0};
    auto take = [&](int side) {
        const area &a = sides[side];
        std::vector<uint8_t> scratch(static_cast<size_t>(a.w) * static_cast<size_t>(a.h) * 4);
        for (int i = 0; i < 20; ++i) {
            grab_context ctx{};
            bgra_picture picture{};
            bool grabbed = grab_open_single(&ctx, a.w, a.h);
            if (grabbed) {
                grab_reuse_unchanged(&ctx, false);
                grabbed = grab_view(&ctx, a.x, a.y, scratch.data(), &picture);
            }
            if (!grabbed || p.mismatches(picture, a.x, a.y, a.w, a.h) != 0) {
                ++wrong[side];
            }
            grab_close(&ctx);
        }
    };
    std::thread other(take, 1);
    take(0);
    other.join();
    EXPECT_EQ(wrong[0].load(), 0);
    EXPECT_EQ(wrong[1].load(), 0);
    // Whoever found the kept segment busy made one of its own and let it go;
    // only the kept one stays (the server detaches the others soon after).
    int segments = count_own_shm_segments();
    for (int i = 0; i < 200 && segments > 1; ++i) {
        usleep(10000);
        segments = count_own_shm_segments();
    }
    EXPECT_LE(segments, 1);
}

TEST_F(ScreenshotRepeat, AForkedChildTakesItsOwnBesideItsParent) {
    painter p;
    ASSERT_TRUE(p.ok());
    p.show({200, 100, 100, 100, 0x123456});
    temp_dir dir;
    const shot whole = kShots[1];
    const shot part = kShots[0];
    // The parent's kept segment exists before the fork; the child inherits
    // its attach and must not write into it while the parent does.
    expect_shot(p, dir, "parent-0.png", whole);
    const std::string want_child = p.expected_png(dir, part.x, part.y, part.w, part.h);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int wrong = 0;
        for (int i = 0; i < 20; ++i) {
            const std::string path = dir.file("child-" + std::to_string(i) + ".png");
            wrong += screenrecorder_screenshot(path.c_str(), part.options, nullptr) != 0 ||
                     painter::file_bytes(path) != want_child;
        }
        _exit(wrong == 0 ? 0 : 1);
    }
    for (int i = 1; i <= 20; ++i) {
        expect_shot(p, dir, "parent-" + std::to_string(i) + ".png", whole);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's screenshots were wrong";
}

} // namespace
