// A minimal PNG encoder: 8-bit RGBA, filter None, stored deflate blocks.
#pragma once

#include <cstdint>

// Status: 0 written; -1 bad arguments; -2 the file cannot be created;
// -3 a write or the close failed; -4 no memory for the encoder's buffer;
// -5 the image is too large for one PNG chunk (its IDAT data would pass
// 2^31 - 1 bytes). After -3, -4 or -5 the file keeps what was written.
int32_t write_png_bgra(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride);
// BGRA whose fourth byte means nothing (a screen grab's): every pixel is
// stored opaque, alpha 255, whatever that byte holds.
int32_t write_png_bgrx(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride);
int32_t write_png_rgba(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride);
