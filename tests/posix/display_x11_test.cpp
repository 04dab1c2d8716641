// Display numbering over a real X server: the RandR monitors of a private
// Xvfb, and the fallback when there is no X display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "screenrecorder/display.h"
#include "support/xvfb_posix.h"

namespace {

struct display_answer {
    int32_t rc;
    int32_t width;
    int32_t height;
    int32_t hz;
};

display_answer query(int32_t index) {
    display_answer a{0, -7, -7, -7};
    a.rc = win32_get_display_info(index, &a.width, &a.height, &a.hz);
    return a;
}

void expect_display(int32_t index, int32_t w, int32_t h) {
    display_answer a = query(index);
    EXPECT_EQ(a.rc, 0) << "display " << index;
    EXPECT_EQ(a.width, w) << "display " << index;
    EXPECT_EQ(a.height, h) << "display " << index;
    EXPECT_EQ(a.hz, 60) << "display " << index;
}

void expect_no_display(int32_t index) {
    display_answer a = query(index);
    EXPECT_EQ(a.rc, -1) << "display " << index;
    EXPECT_EQ(a.width, -7);
    EXPECT_EQ(a.height, -7);
    EXPECT_EQ(a.hz, -7);
}

TEST(XvfbFixture, StartsAPrivateServerAndRestoresDisplay) {
    const char *before = std::getenv("DISPLAY");
    std::string saved = before ? before : "";
    bool had = before != nullptr;
    {
        xvfb_server x(640, 480);
        ASSERT_TRUE(x.ok());
        EXPECT_EQ(std::string(std::getenv("DISPLAY")), x.display());
        EXPECT_EQ(run_x_command("xdpyinfo >/dev/null 2>&1"), 0);
        {
            no_display_scope nd;
            EXPECT_EQ(std::getenv("DISPLAY"), nullptr);
        }
        EXPECT_EQ(std::string(std::getenv("DISPLAY")), x.display());
    }
    const char *after = std::getenv("DISPLAY");
    EXPECT_EQ(after != nullptr, had);
    if (had) {
        EXPECT_EQ(std::string(after), saved);
    }
}

TEST(DisplayX11, OneScreenIsOneDisplay) {
    xvfb_server x(1280, 720);
    ASSERT_TRUE(x.ok());
    expect_display(0, 1280, 720);
    expect_no_display(1);
    expect_no_display(-1);
}

TEST(DisplayX11, MonitorsAreNumberedInTheServersOrder) {
    xvfb_server x(1600, 900);
    ASSERT_TRUE(x.ok());
    // Two monitors side by side; the one on the right is placed at x 1024 and
    // answers with its size only.
    ASSERT_EQ(run_x_command("xrandr --setmonitor left 1024/270x768/203+0+0 none >/dev/null 2>&1"), 0);
    ASSERT_EQ(run_x_command("xrandr --setmonitor right 576/152x900/238+1024+0 none >/dev/null 2>&1"), 0);
    // The server lists the monitors made by hand first, then the screen's own.
    expect_display(0, 1024, 768);
    expect_display(1, 576, 900);
    expect_display(2, 1600, 900);
    expect_no_display(3);
    // Nothing is cached: a monitor removed is gone from the next call.
    ASSERT_EQ(run_x_command("xrandr --delmonitor left >/dev/null 2>&1"), 0);
    expect_display(0, 576, 900);
    expect_display(1, 1600, 900);
    expect_no_display(2);
}

TEST(DisplayX11, WithoutAnXDisplayOnlyDisplayZeroAnswers) {
    no_display_scope nd;
    expect_display(0, 1920, 1080);
    expect_no_display(1);
    expect_no_display(-1);
}

TEST(DisplayX11, UnreachableDisplayBehavesAsNone) {
    // A display name that no server answers: the same as no display at all.
    xvfb_server x(800, 600);
    ASSERT_TRUE(x.ok());
    setenv("DISPLAY", ":9999", 1); // restored by the fixture
    expect_display(0, 1920, 1080);
    expect_no_display(1);
}

} // namespace
