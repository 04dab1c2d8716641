// The synthetic test pattern that stands in for a frame the screen grab could
// not deliver.
#pragma once

#include <cstdint>

// Fills width x height BGRA pixels: blue (x + 5f), green (y + 3f), red 7f,
// each mod 256, alpha 255. Writes nothing for a size of 0 or below.
void generate_pattern_frame(uint8_t *pixels, int32_t width, int32_t height, int64_t frame_number);
