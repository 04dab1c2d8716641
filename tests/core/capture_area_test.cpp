// Where a screenshot and a recording take their pixels on a desktop of
// several displays, enumerated by a scripted enumerator: without a region the
// display's own rectangle, with one the region's desktop coordinates.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "screenrecorder/display.h"
#include "screenrecorder/job.h"
#include "screenrecorder/options.h"
#include "screenrecorder/screenshot_rect.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

struct placed_output {
    int32_t left, top, width, height;
};

// One adapter whose outputs are the desktop's displays, in order.
const std::vector<placed_output> *g_desktop = nullptr;
int g_factory_token = 0;

void *create_factory() {
    return &g_factory_token;
}
enum_result enum_adapter(void *, uint32_t index, void **adapter) {
    if (index > 0) {
        return enum_result::not_found;
    }
    *adapter = &g_factory_token;
    return enum_result::delivered;
}
enum_result enum_output(void *, uint32_t index, void **output) {
    if (index >= g_desktop->size()) {
        return enum_result::not_found;
    }
    *output = const_cast<placed_output *>(&(*g_desktop)[index]);
    return enum_result::delivered;
}
bool get_desc(void *output, int32_t *left, int32_t *top, int32_t *width, int32_t *height) {
    const auto *o = static_cast<const placed_output *>(output);
    *left = o->left;
    *top = o->top;
    *width = o->width;
    *height = o->height;
    return true;
}
void release(void *) {}
void system_metrics(int32_t *width, int32_t *height) {
    *width = 0;
    *height = 0;
}

constexpr display_enumerator kScripted{create_factory, enum_adapter, enum_output, get_desc,
                                       release,        release,      release,     system_metrics};

// Two displays side by side, the primary on the left.
const std::vector<placed_output> kSideBySide{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
// A display of odd size above the primary one: its corner is negative.
const std::vector<placed_output> kAbove{{0, 0, 1920, 1080}, {200, -767, 1365, 767}};

struct area_case {
    const char *name;
    const std::vector<placed_output> *desktop;
    const char *options;
    screenshot_rect shot;       // the screenshot's rectangle
    int32_t grab_x, grab_y;     // the job's grab origin
    int32_t encode_w, encode_h; // the job's encode size
};

void PrintTo(const area_case &c, std::ostream *os) {
    *os << c.name << " " << c.options;
}

const area_case kCases[] = {
    // Display 0 of a desktop whose origin is its corner: as it always was.
    {"primary_whole", &kSideBySide, "", {0, 0, 1920, 1080}, 0, 0, 1920, 1080},
    {"primary_offset_without_region",
     &kSideBySide,
     R"({"region":{"x":100,"y":50}})",
     {100, 50, 1820, 1030},
     100,
     50,
     1920,
     1080},
    // Without a region, display 1 is taken where it lies.
    {"right_whole", &kSideBySide, R"({"display":1})", {1920, 0, 1280, 1024}, 1920, 0, 1280, 1024},
    {"above_whole", &kAbove, R"({"display":1})", {200, -767, 1365, 767}, 200, -767, 1364, 766},
    // x and y without a width and height move within the display.
    {"right_offset_without_region",
     &kSideBySide,
     R"({"display":1,"region":{"x":100,"y":50,"w":0}})",
     {2020, 50, 1180, 974},
     2020,
     50,
     1280,
     1024},
    {"above_negative_offset_without_region",
     &kAbove,
     R"({"display":1,"region":{"x":-30,"y":20}})",
     {200, -747, 1365, 747},
     170,
     -747,
     1364,
     766},
    // A region is in desktop coordinates whatever the display, and the
    // screenshot trims it to the display's size as before.
    {"right_with_region_on_primary",
     &kSideBySide,
     R"({"display":1,"region":{"x":100,"y":50,"w":640,"h":480}})",
     {100, 50, 640, 480},
     100,
     50,
     640,
     480},
    {"right_with_region_on_itself",
     &kSideBySide,
     R"({"display":1,"region":{"x":2000,"y":10,"w":400,"h":300}})",
     {2000, 10, 100, 300},
     2000,
     10,
     400,
     300},
    {"above_with_negative_region",
     &kAbove,
     R"({"display":1,"region":{"x":-50,"y":-600,"w":300,"h":200}})",
     {0, 0, 300, 200},
     -50,
     -600,
     300,
     200},
    // Offsets that would pass the 32-bit range stay at its ends.
    {"offset_past_the_range",
     &kAbove,
     R"({"display":1,"region":{"x":2147483647,"y":-2147483648}})",
     {kMax, -767, 100, 767},
     kMax,
     kMin,
     1364,
     766},
};

class CaptureArea : public testing::TestWithParam<area_case> {};

TEST_P(CaptureArea, ScreenshotRectangleAndJobGrabOrigin) {
    const area_case &c = GetParam();
    g_desktop = c.desktop;
    recording_options opts{};
    parse_options(c.options, &opts);
    display_geometry display{};
    ASSERT_EQ(get_display_geometry_from(kScripted, opts.display, &display), 0);

    const screenshot_rect r = compute_screenshot_rect(opts, display);
    EXPECT_EQ(r.x, c.shot.x);
    EXPECT_EQ(r.y, c.shot.y);
    EXPECT_EQ(r.width, c.shot.width);
    EXPECT_EQ(r.height, c.shot.height);

    recording_job job{};
    job.opts = opts;
    set_capture_area(&job, display);
    EXPECT_EQ(job.grab_x, c.grab_x);
    EXPECT_EQ(job.grab_y, c.grab_y);
    EXPECT_EQ(job.width, c.encode_w);
    EXPECT_EQ(job.height, c.encode_h);
    // The options themselves are left as the host gave them.
    EXPECT_EQ(job.opts.region_x, opts.region_x);
    EXPECT_EQ(job.opts.region_y, opts.region_y);
}

INSTANTIATE_TEST_SUITE_P(Desktops, CaptureArea, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<area_case> &i) {
                             return std::string(i.param.name);
                         });

} // namespace
