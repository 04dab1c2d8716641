// The X server's pixel format for the grab, and copying its images into a
// caller's top-down BGRA buffer (grab_xcb.cpp's helpers).
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

#include "platform/posix/grab_context.h"

// Bytes of one server row of `width` pixels in ZPixmap format.
size_t posix_row_bytes(const grab_context *ctx, int64_t width);

// The root window's visual must be TrueColor with 8 bits per channel in the
// order the BGRA buffer uses, at depth 24 or 32; the pixmap format of that
// depth gives the server's pixel size and row padding (stored in `ctx`).
bool posix_pick_format(grab_context *ctx, const xcb_setup_t *setup, const xcb_screen_t *screen);

// Copies an image of iw x ih server pixels into the caller's buffer at column
// dx, row dy, filling everything else with black (all four bytes 0).
void posix_place_image(const grab_context *ctx, const uint8_t *src, size_t src_row, int32_t dx, int32_t dy,
                       int32_t iw, int32_t ih, uint8_t *pixels);
