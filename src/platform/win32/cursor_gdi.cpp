// The mouse pointer in the GDI grab: the pointer's own icon drawn onto the
// memory device context over the copied screen, before the pixels are read.
#include <windows.h>

#include "platform/grab.h"

void grab_include_cursor(grab_context *ctx, bool include) {
    ctx->cursor_wanted = include;
}

void win32_draw_cursor(grab_context *ctx, int32_t x, int32_t y) {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    if (GetCursorInfo(&info) == 0 || (info.flags & CURSOR_SHOWING) == 0 || info.hCursor == nullptr) {
        return;
    }
    if (info.hCursor != ctx->cursor_handle) {
        // The hot spot comes with the icon's bitmaps, which are ours to free;
        // it is asked once for each pointer image, not for every frame.
        ICONINFO icon{};
        if (GetIconInfo(info.hCursor, &icon) == 0) {
            return;
        }
        if (icon.hbmMask != nullptr) {
            DeleteObject(icon.hbmMask);
        }
        if (icon.hbmColor != nullptr) {
            DeleteObject(icon.hbmColor);
        }
        ctx->cursor_handle = info.hCursor;
        ctx->cursor_hot_x = static_cast<int32_t>(icon.xHotspot);
        ctx->cursor_hot_y = static_cast<int32_t>(icon.yHotspot);
    }
    // In 64 bits: a grab origin near the 32-bit limits must not wrap. No
    // pointer image is anywhere near 65536 pixels, so one that far up or left
    // is wholly outside, as is one past the right or bottom edge.
    const int64_t left = int64_t{info.ptScreenPos.x} - ctx->cursor_hot_x - x;
    const int64_t top = int64_t{info.ptScreenPos.y} - ctx->cursor_hot_y - y;
    if (left <= -65536 || top <= -65536 || left >= ctx->width || top >= ctx->height) {
        return;
    }
    DrawIconEx(ctx->memory_dc, static_cast<int>(left), static_cast<int>(top), info.hCursor, 0, 0, 0, nullptr,
               DI_NORMAL);
}
