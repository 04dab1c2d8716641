// Drawing the mouse pointer into a grabbed picture.
#pragma once

#include <cstddef>
#include <cstdint>

// A pointer image: width x height pixels, row after row, each a 32-bit
// premultiplied ARGB value (alpha in the high byte, blue in the low one), and
// the hot spot, the pixel of the image that lies where the pointer points.
struct cursor_image {
    const uint32_t *argb;
    int32_t width;
    int32_t height;
    int32_t hot_x;
    int32_t hot_y;
};

// A rectangle of a picture, in its pixels; empty when w or h is 0.
struct cursor_rect {
    int32_t x;
    int32_t y;
    int32_t w;
    int32_t h;
};

// The part of a width x height picture that the image covers when the
// pointer points at (x, y) of the picture (which may lie outside it).
cursor_rect cursor_footprint(const cursor_image &image, int64_t x, int64_t y, int32_t width, int32_t height);

// Blends the image over the picture with its alpha, its hot spot at (x, y):
// each colour byte becomes image + picture x (255 - alpha) / 255, and what
// falls outside the picture is left out. The picture has `bytes_per_pixel`
// 3 or 4 bytes a pixel in the order blue, green, red (a fourth byte is left
// as it is), `stride` bytes a row. Returns the rectangle it touched.
cursor_rect blend_cursor(uint8_t *pixels, int32_t width, int32_t height, size_t stride, int bytes_per_pixel,
                         const cursor_image &image, int64_t x, int64_t y);
