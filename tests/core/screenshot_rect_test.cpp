// Where a screenshot is taken and how large it is, for the options and the
// display size it is given.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>

#include "screenrecorder/options.h"
#include "screenrecorder/screenshot_rect.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

struct rect_case {
    const char *name;
    const char *options;
    int32_t display_w;
    int32_t display_h;
    screenshot_rect expected;
};

void PrintTo(const rect_case &c, std::ostream *os) {
    *os << c.name << " " << c.options;
}

const rect_case kCases[] = {
    {"no_options_whole_display", "", 1920, 1080, {0, 0, 1920, 1080}},
    {"region_inside", R"({"region":{"x":10,"y":20,"w":300,"h":200}})", 1920, 1080, {10, 20, 300, 200}},
    {"trimmed_at_right_edge",
     R"({"region":{"x":1800,"y":0,"w":400,"h":100}})",
     1920,
     1080,
     {1800, 0, 120, 100}},
    {"trimmed_at_bottom_edge",
     R"({"region":{"x":0,"y":1000,"w":100,"h":400}})",
     1920,
     1080,
     {0, 1000, 100, 80}},
    {"negative_origin_keeps_size",
     R"({"region":{"x":-50,"y":-20,"w":300,"h":200}})",
     1920,
     1080,
     {0, 0, 300, 200}},
    {"negative_origin_then_trimmed",
     R"({"region":{"x":-50,"y":-20,"w":3000,"h":2000}})",
     1920,
     1080,
     {0, 0, 1920, 1080}},
    {"origin_past_display_gives_100",
     R"({"region":{"x":2000,"y":0,"w":400,"h":100}})",
     1920,
     1080,
     {2000, 0, 100, 100}},
    {"origin_at_edge_gives_100",
     R"({"region":{"x":1920,"y":1080,"w":50,"h":50}})",
     1920,
     1080,
     {1920, 1080, 100, 100}},
    {"origin_without_region",
     R"({"region":{"x":100,"y":50,"w":0,"h":0}})",
     1920,
     1080,
     {100, 50, 1820, 1030}},
    {"origin_without_region_one_side",
     R"({"region":{"x":100,"y":50,"w":640,"h":0}})",
     1920,
     1080,
     {100, 50, 1820, 1030}},
    {"origin_without_region_past_display",
     R"({"region":{"x":5000,"y":-7}})",
     1920,
     1080,
     {5000, 0, 100, 1080}},
    {"display_of_zero_size", "", 0, 0, {0, 0, 100, 100}},
    {"display_of_negative_size", R"({"region":{"x":3,"y":4,"w":10,"h":10}})", -5, -5, {3, 4, 100, 100}},
    {"smaller_second_display", R"({"display":1})", 1280, 1024, {0, 0, 1280, 1024}},
    // Sums near the 32-bit limits are worked in 64 bits.
    {"huge_size_trimmed",
     R"({"region":{"x":100,"y":100,"w":2147483647,"h":2147483647}})",
     1920,
     1080,
     {100, 100, 1820, 980}},
    {"huge_origin_gives_100",
     R"({"region":{"x":2147483647,"y":2147483647,"w":10,"h":10}})",
     1920,
     1080,
     {kMax, kMax, 100, 100}},
    {"huge_origin_on_negative_display",
     R"({"region":{"x":2147483647,"y":0,"w":10,"h":10}})",
     kMin,
     1080,
     {kMax, 0, 100, 10}},
};

class ScreenshotRect : public testing::TestWithParam<rect_case> {};

TEST_P(ScreenshotRect, FromOptionsAndDisplay) {
    const rect_case &c = GetParam();
    recording_options opts{};
    parse_options(c.options, &opts);
    // A display at the desktop's origin: the rectangle is where it always was.
    screenshot_rect r = compute_screenshot_rect(opts, display_geometry{0, 0, c.display_w, c.display_h, 60});
    EXPECT_EQ(r.x, c.expected.x);
    EXPECT_EQ(r.y, c.expected.y);
    EXPECT_EQ(r.width, c.expected.width);
    EXPECT_EQ(r.height, c.expected.height);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScreenshotRect, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<rect_case> &i) {
                             return std::string(i.param.name);
                         });

} // namespace
