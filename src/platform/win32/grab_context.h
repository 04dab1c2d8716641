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
};
