// What a single grab (a screenshot) leaves for the next one: its MIT-SHM
// segment and, while it serves, its X connection with the segment still
// attached on the server's side. One grab at a time borrows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/grab_context.h"

// Borrows what is kept, when no other grab holds it: marks the context
// `kept` and hands it the segment and, when one is kept for the current
// DISPLAY in this process, the connection (with its screen number). The
// connection is not yet known to answer. False when another grab holds it.
bool posix_borrow_kept(grab_context *ctx);
// A kept connection that no longer answers: closed, and the server's attach
// with it; the context then connects anew.
void posix_forget_kept_connection(grab_context *ctx);
// Makes the borrowed segment at least `bytes` large and attached on the
// context's connection. False when it cannot be.
bool posix_attach_kept(grab_context *ctx, size_t bytes);
// Gives back what the context borrowed, with the segment as it now is. With
// `keep_connection` the connection and the server's attach are kept too, and
// the context no longer refers to them; else the caller detaches and closes
// them as usual.
void posix_return_kept(grab_context *ctx, bool keep_connection);
