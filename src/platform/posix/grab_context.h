// The X11 grab's state: an XCB connection and a MIT-SHM segment of the grab size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/cursor_xfixes.h"

struct grab_context {
    int32_t width;
    int32_t height;
    bool ready;
    void *connection; // xcb_connection_t*, null when none
    uint32_t root;    // root window of the default screen
    int32_t screen_width;
    int32_t screen_height;
    uint8_t depth;
    uint8_t bits_per_pixel; // 24 or 32, as the server lays out a pixel
    uint8_t scanline_pad;   // bits each server row is padded to
    bool use_shm;
    uint32_t shm_seg;  // xcb_shm_seg_t, 0 when not attached
    int shm_id;        // System V segment id, -1 when none (removed once attached)
    uint8_t *shm_data; // mapped segment, null when none
    size_t shm_size;   // bytes of the mapped segment
    posix_cursor cursor;
};

// grab_open with the choice of transport: allow_shm false always uses the
// plain GetImage request (what a remote display gets). grab_open is
// posix_grab_open(ctx, width, height, true).
bool posix_grab_open(grab_context *ctx, int32_t width, int32_t height, bool allow_shm);
