#include "screenrecorder/pattern.h"

#include <bit>
#include <cstring>

void generate_pattern_frame(uint8_t *pixels, int32_t width, int32_t height, int64_t frame_number) {
    if (width <= 0 || height <= 0) {
        return;
    }
    // Unsigned arithmetic keeps the low 8 bits of the two's-complement
    // products without overflow, for any frame number.
    const uint64_t f = static_cast<uint64_t>(frame_number);
    const uint32_t blue0 = static_cast<uint32_t>((f * 5u) & 0xffu);
    const uint32_t green0 = static_cast<uint32_t>((f * 3u) & 0xffu);
    const uint32_t red = static_cast<uint32_t>((f * 7u) & 0xffu);
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    for (size_t y = 0; y < h; ++y) {
        const uint32_t green = (green0 + static_cast<uint32_t>(y)) & 0xffu;
        uint8_t *row = pixels + y * w * 4;
        if constexpr (std::endian::native == std::endian::little) {
            // One 32-bit store per pixel: bytes blue, green, red, 255.
            const uint32_t fixed = 0xff000000u | (red << 16) | (green << 8);
            for (size_t x = 0; x < w; ++x) {
                const uint32_t v = fixed | ((blue0 + static_cast<uint32_t>(x)) & 0xffu);
                std::memcpy(row + x * 4, &v, 4);
            }
        } else {
            for (size_t x = 0; x < w; ++x) {
                row[x * 4 + 0] = static_cast<uint8_t>(blue0 + x);
                row[x * 4 + 1] = static_cast<uint8_t>(green);
                row[x * 4 + 2] = static_cast<uint8_t>(red);
                row[x * 4 + 3] = 255;
            }
        }
    }
}
