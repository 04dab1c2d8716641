// The MIT-SHM segment that an X grab's images arrive in: whether the display
// can share memory with us, and the segment's attach, mapping and release.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/grab_context.h"

// True for a display on this machine (no host part, or "unix").
bool posix_display_is_local();
// Makes a System V segment of `bytes` and attaches it on our side; false
// when it cannot.
bool posix_make_segment(int *id, uint8_t **data, size_t bytes);
// Attaches a segment of `bytes` on both sides (the borrowed one, for a
// context that borrowed what the last single grab left); false when the
// server has no MIT-SHM or the segment cannot be made or attached.
bool posix_attach_shm(grab_context *ctx, size_t bytes);
// Lets go of the segment in any state; the context no longer refers to it.
void posix_release_shm(grab_context *ctx);
// Maps the segment's pages into our side in one call, once per segment.
void posix_map_segment(grab_context *ctx);
