// A minimal PNG encoder: 8-bit RGBA, filter None, stored deflate blocks.
#pragma once

#include <cstdint>

// Status: 0 written; -1 bad arguments; -2 the file cannot be created;
// -3 a write or the close failed; -4 / -5 out of memory.
int32_t write_png_bgra(const char *path, int32_t width, int32_t height, const uint8_t *pixels, int32_t stride);
int32_t write_png_rgba(const char *path, int32_t width, int32_t height, const uint8_t *pixels, int32_t stride);
