// The MIT-SHM segment that an X grab's images arrive in: whether the display
// can share memory with us, and the segment's attach, mapping and release.
#pragma once

#include <cstddef>

#include "platform/posix/grab_context.h"

// True for a display on this machine (no host part, or "unix").
bool posix_display_is_local();
// Attaches a segment of `bytes` on both sides; false when the server has no
// MIT-SHM or the segment cannot be made or attached. With `borrow` the
// segment is the one kept between such grabs, when no other grab holds it.
bool posix_attach_shm(grab_context *ctx, size_t bytes, bool borrow);
// Lets go of the segment in any state; the context no longer refers to it.
void posix_release_shm(grab_context *ctx);
// Maps the segment's pages into our side in one call, once per segment.
void posix_map_segment(grab_context *ctx);
