// The pointer's image blended over a picture, clipped at its edges.
#include "screenrecorder/cursor_blend.h"

#include <algorithm>

namespace {

// d x (255 - a) / 255, rounded to the nearest, plus the image's byte; an
// image byte above its alpha (not properly premultiplied) saturates.
uint8_t over(uint32_t s, uint32_t d, uint32_t inv_a) {
    uint32_t t = d * inv_a + 128;
    t = (t + (t >> 8)) >> 8;
    return static_cast<uint8_t>(std::min<uint32_t>(s + t, 255));
}

} // namespace

cursor_rect cursor_footprint(const cursor_image &image, int64_t x, int64_t y, int32_t width, int32_t height) {
    cursor_rect r{0, 0, 0, 0};
    if (image.argb == nullptr || image.width <= 0 || image.height <= 0 || width <= 0 || height <= 0) {
        return r;
    }
    const int64_t left = x - image.hot_x;
    const int64_t top = y - image.hot_y;
    const int64_t x0 = std::max<int64_t>(left, 0);
    const int64_t y0 = std::max<int64_t>(top, 0);
    const int64_t x1 = std::min<int64_t>(left + image.width, width);
    const int64_t y1 = std::min<int64_t>(top + image.height, height);
    if (x1 <= x0 || y1 <= y0) {
        return r;
    }
    r.x = static_cast<int32_t>(x0);
    r.y = static_cast<int32_t>(y0);
    r.w = static_cast<int32_t>(x1 - x0);
    r.h = static_cast<int32_t>(y1 - y0);
    return r;
}

cursor_rect blend_cursor(uint8_t *pixels, int32_t width, int32_t height, size_t stride, int bytes_per_pixel,
                         const cursor_image &image, int64_t x, int64_t y) {
    const cursor_rect r = cursor_footprint(image, x, y, width, height);
    if (r.w == 0 || pixels == nullptr || (bytes_per_pixel != 3 && bytes_per_pixel != 4)) {
        return cursor_rect{0, 0, 0, 0};
    }
    const auto bpp = static_cast<size_t>(bytes_per_pixel);
    // The image's pixel that lands on the rectangle's top-left corner.
    const int64_t ix = r.x - (x - image.hot_x);
    const int64_t iy = r.y - (y - image.hot_y);
    for (int32_t row = 0; row < r.h; ++row) {
        const uint32_t *src = image.argb + (iy + row) * image.width + ix;
        uint8_t *dst = pixels + static_cast<size_t>(r.y + row) * stride + static_cast<size_t>(r.x) * bpp;
        for (int32_t col = 0; col < r.w; ++col, dst += bpp) {
            const uint32_t p = src[col];
            const uint32_t a = p >> 24;
            if (a == 0 && (p & 0xffffffu) == 0) {
                continue; // transparent: the picture shows through unchanged
            }
            const uint32_t inv = 255 - a;
            dst[0] = over(p & 0xff, dst[0], inv);
            dst[1] = over((p >> 8) & 0xff, dst[1], inv);
            dst[2] = over((p >> 16) & 0xff, dst[2], inv);
        }
    }
    return r;
}
