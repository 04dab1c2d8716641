// What the X DAMAGE extension tells the grab: whether anything was drawn
// inside the grab rectangle since the previous grab.
#pragma once

#include <cstdint>

#include <xcb/xcb.h>

#include "platform/posix/grab_context.h"

// Starts tracking the root window, once per context; without the extension
// the context simply grabs every time.
void posix_damage_open(grab_context *ctx);
// Makes the width x height rectangle at (x, y) the one that counts; moving
// it counts as a change.
void posix_damage_track(grab_context *ctx, int32_t x, int32_t y);
// Takes in one event of the connection; a drawn rectangle that meets the
// tracked one marks the context damaged.
void posix_damage_take_event(grab_context *ctx, const xcb_generic_event_t *event);
// True when something was drawn in the tracked rectangle since the previous
// call (or when that cannot be known: no tracking); clears the mark. The
// events the server sent must have been taken in first.
bool posix_damage_take(grab_context *ctx);
void posix_damage_close(grab_context *ctx);
