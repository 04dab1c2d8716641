// Where a screenshot is taken and how large it is, from the options and the
// size of the display they name.
#pragma once

#include <cstdint>

#include "screenrecorder/display.h"
#include "screenrecorder/options.h"

struct screenshot_rect {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// The origin is the region's x and y (with or without a region), each raised
// to 0 when negative. The size is the region's, or the display's without one,
// trimmed so the rectangle ends at the display's right and bottom edges; a
// size that comes out 0 or below becomes 100. Neither the trimming nor the
// 100 moves the origin. A region's x and y are coordinates of the whole
// desktop; without a region the rectangle lies on the display itself, so the
// origin is taken from the display's corner. Worked in 64 bits: no
// combination of options wraps.
screenshot_rect compute_screenshot_rect(const recording_options &opts, const display_geometry &display);
