// The pointer blended over a picture: where the hot spot lands, the alpha
// rule, clipping at every edge, and that nothing outside the image's part of
// the picture (or beyond a row, or past the buffer) is touched.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include "screenrecorder/cursor_blend.h"

namespace {

// A 3 x 2 image with its hot spot at (1, 1):
//   opaque red     | transparent     | opaque white
//   half-alpha grey| opaque blue (hot)| additive green (alpha 0, colour set)
const uint32_t kImage[] = {0xffff0000, 0x00000000, 0xffffffff, 0x80404040, 0xff0000ff, 0x00002000};
const cursor_image kCursor{kImage, 3, 2, 1, 1};

// What each image pixel turns a picture byte of 0x10 (blue, green, red) into.
struct bgr {
    int b, g, r;
};
const bgr kOver10[] = {
    {0x00, 0x00, 0xff},
    {0x10, 0x10, 0x10},
    {0xff, 0xff, 0xff},
    // 0x40 + 0x10 x 127 / 255 = 0x40 + 8
    {0x48, 0x48, 0x48},
    {0xff, 0x00, 0x00},
    {0x10, 0x30, 0x10},
};

constexpr int32_t kW = 5;
constexpr int32_t kH = 4;
constexpr uint8_t kFill = 0x10;
constexpr uint8_t kFourth = 0x77;
constexpr uint8_t kPad = 0xEE;

struct place_case {
    const char *name;
    int64_t x, y;        // where the pointer points
    cursor_rect touched; // what blend_cursor reports
};

void PrintTo(const place_case &c, std::ostream *os) {
    *os << c.name;
}

const place_case kPlaces[] = {
    {"inside", 2, 1, {1, 0, 3, 2}},
    {"hot_spot_on_the_origin", 0, 0, {0, 0, 2, 1}},
    {"past_the_left_edge", 0, 2, {0, 1, 2, 2}},
    {"past_the_right_edge", 4, 2, {3, 1, 2, 2}},
    {"past_the_bottom", 2, 4, {1, 3, 3, 1}},
    {"in_the_bottom_right_corner", 5, 4, {4, 3, 1, 1}},
    {"wholly_left", -2, 1, {0, 0, 0, 0}},
    {"wholly_below", 2, 5, {0, 0, 0, 0}},
    {"far_beyond_32_bits", int64_t{1} << 40, -(int64_t{1} << 40), {0, 0, 0, 0}},
    {"at_the_negative_limit",
     std::numeric_limits<int32_t>::min(),
     std::numeric_limits<int32_t>::min(),
     {0, 0, 0, 0}},
};

class BlendCursor : public testing::TestWithParam<std::tuple<int, place_case>> {};

TEST_P(BlendCursor, LandsAtTheHotSpotClippedToThePicture) {
    const int bpp = std::get<0>(GetParam());
    const place_case &c = std::get<1>(GetParam());
    // Rows padded by 3 bytes, and a guard after the last row.
    const size_t stride = static_cast<size_t>(kW) * bpp + 3;
    std::vector<uint8_t> px(stride * kH + 8, kPad);
    for (int32_t y = 0; y < kH; ++y) {
        for (int32_t x = 0; x < kW; ++x) {
            uint8_t *p = &px[y * stride + static_cast<size_t>(x) * bpp];
            p[0] = p[1] = p[2] = kFill;
            if (bpp == 4) {
                p[3] = kFourth;
            }
        }
    }
    const cursor_rect r = blend_cursor(px.data(), kW, kH, stride, bpp, kCursor, c.x, c.y);
    EXPECT_EQ(r.x, c.touched.x);
    EXPECT_EQ(r.y, c.touched.y);
    EXPECT_EQ(r.w, c.touched.w);
    EXPECT_EQ(r.h, c.touched.h);
    const cursor_rect f = cursor_footprint(kCursor, c.x, c.y, kW, kH);
    EXPECT_TRUE(f.x == r.x && f.y == r.y && f.w == r.w && f.h == r.h);

    for (int32_t y = 0; y < kH; ++y) {
        for (int32_t x = 0; x < kW; ++x) {
            const uint8_t *p = &px[y * stride + static_cast<size_t>(x) * bpp];
            const int64_t ix = x - (c.x - kCursor.hot_x);
            const int64_t iy = y - (c.y - kCursor.hot_y);
            bgr want{kFill, kFill, kFill};
            if (ix >= 0 && ix < 3 && iy >= 0 && iy < 2) {
                want = kOver10[iy * 3 + ix];
            }
            EXPECT_EQ(p[0], want.b) << "blue at (" << x << ", " << y << ")";
            EXPECT_EQ(p[1], want.g) << "green at (" << x << ", " << y << ")";
            EXPECT_EQ(p[2], want.r) << "red at (" << x << ", " << y << ")";
            if (bpp == 4) {
                EXPECT_EQ(p[3], kFourth) << "fourth byte at (" << x << ", " << y << ")";
            }
        }
        for (size_t i = static_cast<size_t>(kW) * bpp; i < stride; ++i) {
            EXPECT_EQ(px[y * stride + i], kPad) << "row padding of row " << y;
        }
    }
    for (size_t i = stride * kH; i < px.size(); ++i) {
        EXPECT_EQ(px[i], kPad) << "past the buffer";
    }
}

INSTANTIATE_TEST_SUITE_P(Places, BlendCursor,
                         testing::Combine(testing::Values(4, 3), testing::ValuesIn(kPlaces)),
                         [](const testing::TestParamInfo<std::tuple<int, place_case>> &i) {
                             return std::string(std::get<1>(i.param).name) + "_" +
                                    std::to_string(std::get<0>(i.param)) + "_bytes";
                         });

TEST(BlendCursorAlpha, PremultipliedOverEveryBackground) {
    // One image pixel over a one-pixel picture, for chosen alphas and
    // backgrounds: image + picture x (255 - alpha) / 255, rounded.
    struct {
        uint32_t argb;
        uint8_t picture;
        uint8_t want;
    } cases[] = {
        {0xff000000, 0xff, 0x00}, // opaque black hides white
        {0x80000000, 0xff, 0x7f}, // half-transparent black: 255 x 127 / 255
        {0x80808080, 0x00, 0x80}, // half-transparent white over black
        {0x80808080, 0xff, 0xff}, // and over white
        {0x01010101, 0xc8, 0xc8}, // 1 + 200 x 254 / 255 = 1 + 199.2
        {0x00000000, 0x5a, 0x5a}, // transparent
        {0x40ff0000, 0xff, 0xff}, // colour above its alpha saturates
    };
    for (const auto &c : cases) {
        uint8_t px[4] = {c.picture, c.picture, c.picture, 0x33};
        const uint32_t img = c.argb;
        blend_cursor(px, 1, 1, 4, 4, cursor_image{&img, 1, 1, 0, 0}, 0, 0);
        EXPECT_EQ(px[2], c.want) << std::hex << c.argb << " over " << int{c.picture};
        EXPECT_EQ(px[3], 0x33);
    }
}

TEST(BlendCursorAlpha, EmptyImagesAndPicturesDrawNothing) {
    uint8_t px[16] = {};
    const uint32_t img = 0xffffffff;
    const cursor_image images[] = {{nullptr, 1, 1, 0, 0}, {&img, 0, 1, 0, 0}, {&img, 1, -1, 0, 0}};
    for (const cursor_image &i : images) {
        EXPECT_EQ(blend_cursor(px, 2, 2, 8, 4, i, 0, 0).w, 0);
    }
    EXPECT_EQ(blend_cursor(px, 0, 2, 8, 4, cursor_image{&img, 1, 1, 0, 0}, 0, 0).w, 0);
    EXPECT_EQ(blend_cursor(px, 2, 2, 8, 2, cursor_image{&img, 1, 1, 0, 0}, 0, 0).w, 0);
    for (uint8_t b : px) {
        EXPECT_EQ(b, 0);
    }
}

} // namespace
