// A test's own X windows, drawn on its own XCB connection.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>

// Creates and maps a plain window of one colour (0xRRGGBB) that the window
// manager leaves alone (override-redirect); returns it. It is on the screen
// after the next x_round_trip.
xcb_window_t show_colour_window(xcb_connection_t *c, const xcb_screen_t *screen, int16_t x, int16_t y,
                                uint16_t w, uint16_t h, uint32_t rgb);

// Waits until the server has handled every request sent before.
void x_round_trip(xcb_connection_t *c);
