// The screen grab: copies a rectangle of the whole screen into a top-down
// BGRA buffer. Each platform defines grab_context in its grab_context.h.
#pragma once

#include <cstdint>

#include "platform/picture.h"

#if defined(_WIN32)
#include "platform/win32/grab_context.h"
#else
#include "platform/posix/grab_context.h"
#endif

// Prepares a grab of width x height; returns the context's ready flag.
bool grab_open(grab_context *ctx, int32_t width, int32_t height);
// grab_open for a grab of one or a few pictures (a screenshot): it may
// borrow memory the process keeps between such grabs, so that the next one
// finds it ready, instead of taking its own.
bool grab_open_single(grab_context *ctx, int32_t width, int32_t height);
// Copies the rectangle at (x, y) into pixels (width x height x 4 bytes);
// true when pixels holds a grabbed image. Only called while ready.
bool grab_frame(grab_context *ctx, int32_t x, int32_t y, uint8_t *pixels);
// Grabs the rectangle at (x, y) and points `picture` at it: into the grab's
// own memory where it can, else into `scratch` (width x height x 4 bytes),
// which it then fills like grab_frame. The picture stays valid until the next
// grab call or grab_close. `picture->unchanged` is set when nothing inside
// the rectangle changed since the previous successful grab, so the picture
// is that grab's. False when the grab failed. Only called while ready.
bool grab_view(grab_context *ctx, int32_t x, int32_t y, uint8_t *scratch, bgra_picture *picture);
// Asks an open grab to draw the mouse pointer into every later grabbed
// picture, as the user sees it (off after grab_open). A grab that cannot see
// the pointer still grabs, without it.
void grab_include_cursor(grab_context *ctx, bool include);
// Whether grab_view may hand out its last picture again, marked unchanged,
// when nothing in the rectangle changed (on after grab_open). Off, every
// grab_view grabs.
void grab_reuse_unchanged(grab_context *ctx, bool reuse);
// Asks the grab to call fn(arg) once, while the next picture is being made
// for it (the request sent, its answer not yet awaited), so that the
// caller's own preparations overlap that work. A grab that has no such
// moment, or fails before it, does not call it: the caller checks.
void grab_while_waiting(grab_context *ctx, void (*fn)(void *), void *arg);
// Releases whatever grab_open took, in any state.
void grab_close(grab_context *ctx);
