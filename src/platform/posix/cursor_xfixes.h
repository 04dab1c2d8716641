// The mouse pointer of an X screen through the XFIXES extension: its image
// is fetched once and again only after the server says it changed; each
// frame asks only where the pointer is.
#pragma once

#include <cstdint>

#include "screenrecorder/cursor_blend.h"

struct xcb_connection_t;

struct posix_cursor {
    bool wanted;         // the grab's user asked for the pointer
    bool started;        // posix_cursor_start has run
    bool usable;         // XFIXES answered and reports changes to us
    bool stale;          // the image must be fetched again
    uint8_t first_event; // XFIXES's first event code
    uint32_t pending;    // sequence of the request in flight, 0 when none
    bool pending_image;  // that request fetches the image (else the position)
    void *image_reply;   // the latest image, as the server sent it; null when none
    cursor_image image;  // points into image_reply
    bool on_screen;      // the pointer is on our screen
    int32_t x;           // where it points, on the root window
    int32_t y;
};

// Sets up XFIXES on `connection` and asks for its pointer-change
// notifications on `root`. False (and no pointer drawn) without XFIXES.
bool posix_cursor_start(posix_cursor *cursor, xcb_connection_t *connection, uint32_t root);
// Takes in one event of the connection, by its response type; true when it
// told of a new image.
bool posix_cursor_take_event(posix_cursor *cursor, uint8_t response_type);
// Sends this frame's question: the image with its position when it changed,
// otherwise the position only. Read the answer with posix_cursor_read.
void posix_cursor_ask(posix_cursor *cursor, xcb_connection_t *connection, uint32_t root);
// Reads the answer to posix_cursor_ask; false when there is no pointer to
// draw (none asked, no answer, off our screen, or no image).
bool posix_cursor_read(posix_cursor *cursor, xcb_connection_t *connection);
// Frees the image; the connection's own state goes with the connection.
void posix_cursor_close(posix_cursor *cursor);
