// The GDI grab's state.
#pragma once

#include <windows.h>

#include <cstdint>

struct grab_context {
    int32_t width;
    int32_t height;
    HDC screen_dc;
    HDC memory_dc;
    HBITMAP bitmap;
    HGDIOBJ previous_object;
    BITMAPINFO bitmap_info;
    bool ready;
    bool cursor_wanted;    // draw the pointer into each grab
    HCURSOR cursor_handle; // the pointer image whose hot spot is known
    int32_t cursor_hot_x;
    int32_t cursor_hot_y;
};

// Draws the pointer, if it is showing, onto the memory device context that
// holds the screen rectangle at (x, y).
void win32_draw_cursor(grab_context *ctx, int32_t x, int32_t y);
