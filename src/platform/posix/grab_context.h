// The X11 grab's state: an XCB connection and a MIT-SHM segment of the grab size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/picture.h"
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
    uint32_t shm_seg;        // xcb_shm_seg_t, 0 when not attached
    int shm_id;              // System V segment id, -1 when none (removed once attached)
    uint8_t *shm_data;       // mapped segment, null when none
    size_t shm_size;         // bytes of the mapped segment
    bool shm_mapped;         // the segment's pages are all mapped on our side
    bool kept;               // borrowed what the last single grab left (grab_kept.cpp)
    int kept_id;             // the borrowed segment's id (removed, still attachable), -1 when none
    int screen_number;       // the X screen of the connection
    void *reply;             // the last plain GetImage reply, null when none
    void (*on_wait)(void *); // grab_while_waiting's call, null when none is due
    void *on_wait_arg;
    posix_cursor cursor;

    // DAMAGE tracking of the root window (grab_damage.cpp).
    bool damage_tried;    // posix_damage_open has run
    bool no_reuse;        // grab_reuse_unchanged(false): no tracking, every view grabs
    bool use_damage;      // the server reports every drawn rectangle to us
    uint32_t damage;      // xcb_damage_damage_t, 0 when none
    uint8_t damage_event; // response type of the extension's notify event
    bool damaged;         // something was drawn in the tracked rectangle since the last take
    int32_t track_x;      // the tracked rectangle's origin (its size is the grab's)
    int32_t track_y;

    // The picture of the last grab_view while it can be handed out again,
    // and the pointer drawn into it.
    bool have_last;
    bgra_picture last;
    int32_t last_x;
    int32_t last_y;
    bool last_pointer_drawn;
    int32_t last_pointer_x;
    int32_t last_pointer_y;
    uint32_t last_pointer_serial;
};

// grab_open with the choice of transport: allow_shm false always uses the
// plain GetImage request (what a remote display gets). grab_open is
// posix_grab_open(ctx, width, height, true).
bool posix_grab_open(grab_context *ctx, int32_t width, int32_t height, bool allow_shm);
