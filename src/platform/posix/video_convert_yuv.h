// The colour conversion of the recording path: BGRA pictures into the
// encoder's 4:2:0 planes, BT.601 coefficients in limited range (what the
// video stream is tagged with). Chroma is placed as libswscale places it for
// this conversion: each pair of columns averaged, then rows filtered
// 1/8, 3/8, 3/8, 1/8 around each pair of rows.
#pragma once

#include <cstddef>
#include <cstdint>

// Working rows of one picture size, made once per job.
struct posix_yuv_converter {
    int32_t width;
    int32_t height;
    uint16_t *sums; // 4 rows x 3 channels x width / 2 column-pair sums
};

// Prepares the converter for width x height (both even); false when out of memory.
bool posix_yuv_open(posix_yuv_converter *c, int32_t width, int32_t height);
void posix_yuv_close(posix_yuv_converter *c);

// Converts a BGRA picture (`stride` bytes per row) into the Y, U and V
// planes. Reads each source byte once and allocates nothing.
void posix_bgra_to_i420(const posix_yuv_converter *c, const uint8_t *bgra, std::size_t stride,
                        uint8_t *const planes[3], const int linesize[3]);
