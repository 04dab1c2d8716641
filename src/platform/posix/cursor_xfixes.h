// The mouse pointer of an X screen through the XFIXES extension: its image
// is fetched once and again only after the server said it changed; each
// frame asks only where the pointer is.
//
// Per grab: posix_cursor_ask (sends the position question), then the grab's
// own round trip, then posix_cursor_read (the answer); the events that came
// in before that answer go through posix_cursor_take_event; then
// posix_cursor_settle fetches the image if it changed.
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
    uint32_t pending;    // sequence of the position question in flight, 0 when none
    void *image_reply;   // the latest image, as the server sent it; null when none
    cursor_image image;  // points into image_reply
    uint32_t serial;     // the server's number of that image
    bool on_screen;      // the pointer is on our screen
    int32_t x;           // where it points, on the root window
    int32_t y;
};

// Sets up XFIXES on `connection` (once) and asks for its pointer-change
// notifications on `root`. False (and no pointer drawn) without XFIXES.
bool posix_cursor_start(posix_cursor *cursor, xcb_connection_t *connection, uint32_t root);
// Takes in one event of the connection, by its response type; true when it
// told of a new image.
bool posix_cursor_take_event(posix_cursor *cursor, uint8_t response_type);
// Sends this frame's question: where the pointer is.
void posix_cursor_ask(posix_cursor *cursor, xcb_connection_t *connection, uint32_t root);
// Reads the answer to posix_cursor_ask (waiting for it if need be).
void posix_cursor_read(posix_cursor *cursor, xcb_connection_t *connection);
// Fetches the image when it changed (one more round trip, only then); true
// when there is a pointer to draw: on our screen, with an image.
bool posix_cursor_settle(posix_cursor *cursor, xcb_connection_t *connection);
// Frees the image; the connection's own state goes with the connection.
void posix_cursor_close(posix_cursor *cursor);
