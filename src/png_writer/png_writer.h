// A minimal PNG encoder: 8-bit RGBA, filter None, stored deflate blocks.
#pragma once

#include <cstdint>
#include <cstdio>

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
// write_png_bgrx into a file the caller opened for writing at its start
// ("wb"); the file is closed in every case, and -1 when it is null.
int32_t write_png_bgrx_file(std::FILE *file, int32_t width, int32_t height, const uint8_t *pixels,
                            int32_t stride);
// The bytes of the file written for width x height; 0 when there is none
// (a side not above 0, or an image too large for one chunk).
uint64_t png_file_size(int32_t width, int32_t height);
