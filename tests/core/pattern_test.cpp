// The synthetic test pattern: exact bytes for chosen frame numbers, the
// layout in memory, and that nothing outside the frame is touched.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "screenrecorder/pattern.h"

namespace {

struct bgra {
    int b, g, r, a;
};

bgra pixel_at(const std::vector<uint8_t> &buf, int32_t width, int32_t x, int32_t y) {
    size_t o = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
    return {buf[o], buf[o + 1], buf[o + 2], buf[o + 3]};
}

struct pixel_case {
    int64_t frame;
    int32_t x;
    int32_t y;
    bgra expected;
};

const pixel_case kPixels[] = {
    {0, 300, 2, {44, 2, 0, 255}},
    {0, 0, 0, {0, 0, 0, 255}},
    {0, 255, 256, {255, 0, 0, 255}},
    {1, 0, 0, {5, 3, 7, 255}},
    {37, 0, 0, {185, 111, 3, 255}},
    {256, 0, 0, {0, 0, 0, 255}},
    {-1, 0, 0, {251, 253, 249, 255}},
    {-1, 10, 5, {5, 2, 249, 255}},
    // Past 32 bits: 2^32 + 1 behaves as 1; 5 x this frame number overflows
    // 32 bits but not the low byte rule.
    {(int64_t{1} << 32) + 1, 0, 0, {5, 3, 7, 255}},
    // The extremes: the products wrap in 64 bits, the low 8 bits decide.
    // INT64_MAX = 0x7fff...ff: 5f ends in 0xfb, 3f in 0xfd, 7f in 0xf9.
    {std::numeric_limits<int64_t>::max(), 0, 0, {0xfb, 0xfd, 0xf9, 255}},
    // INT64_MIN = 0x8000...00: every product ends in 0x00.
    {std::numeric_limits<int64_t>::min(), 7, 9, {7, 9, 0, 255}},
};

TEST(Pattern, PixelValues) {
    const int32_t w = 400, h = 300;
    std::vector<uint8_t> buf(static_cast<size_t>(w) * h * 4);
    for (const pixel_case &c : kPixels) {
        generate_pattern_frame(buf.data(), w, h, c.frame);
        bgra p = pixel_at(buf, w, c.x, c.y);
        SCOPED_TRACE(testing::Message() << "frame " << c.frame << " at (" << c.x << ", " << c.y << ")");
        EXPECT_EQ(p.b, c.expected.b);
        EXPECT_EQ(p.g, c.expected.g);
        EXPECT_EQ(p.r, c.expected.r);
        EXPECT_EQ(p.a, c.expected.a);
    }
}

TEST(Pattern, ThreeByTwoMemoryOrder) {
    // Frame 37: blue 185.. along a row, green 111 then 112, red 3 throughout.
    const uint8_t expected[] = {185, 111, 3, 255, 186, 111, 3, 255, 187, 111, 3, 255,
                                185, 112, 3, 255, 186, 112, 3, 255, 187, 112, 3, 255};
    std::vector<uint8_t> buf(sizeof expected + 8, 0xAB);
    generate_pattern_frame(buf.data() + 4, 3, 2, 37);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 4, buf.begin() + 4 + sizeof expected),
              std::vector<uint8_t>(std::begin(expected), std::end(expected)));
    // Nothing before or after the frame is touched.
    for (size_t i : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
        EXPECT_EQ(buf[i], 0xAB);
        EXPECT_EQ(buf[buf.size() - 1 - i], 0xAB);
    }
}

TEST(Pattern, WholeFrameMatchesTheRule) {
    // An odd width, so rows do not line up with any vector width, and wider
    // than 256 so the ramps repeat.
    const int32_t w = 517, h = 263;
    const int64_t f = 1234567;
    std::vector<uint8_t> buf(static_cast<size_t>(w) * h * 4 + 4, 0x11);
    generate_pattern_frame(buf.data(), w, h, f);
    int wrong = 0;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            bgra p = pixel_at(buf, w, x, y);
            wrong += p.b != static_cast<uint8_t>(x + 5 * f) || p.g != static_cast<uint8_t>(y + 3 * f) ||
                     p.r != static_cast<uint8_t>(7 * f) || p.a != 255;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(buf[buf.size() - 4], 0x11);
}

TEST(Pattern, SizeOfZeroOrBelowWritesNothing) {
    const struct {
        int32_t w, h;
    } sizes[] = {
        {0, 10}, {10, 0}, {-1, 10}, {10, -1}, {0, 0}, {-5, -5}, {std::numeric_limits<int32_t>::min(), 4}};
    for (auto s : sizes) {
        std::vector<uint8_t> buf(64, 0x5A);
        generate_pattern_frame(buf.data(), s.w, s.h, 3);
        EXPECT_EQ(buf, std::vector<uint8_t>(64, 0x5A)) << s.w << " x " << s.h;
    }
}

} // namespace
