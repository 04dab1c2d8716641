// The screen grab through GDI: a memory device context holding a bitmap
// compatible with the screen, filled by one BitBlt per frame and converted
// by one GetDIBits straight into the caller's top-down BGRA buffer (with the
// pointer drawn over the copy in between when asked).
#include <windows.h>

#include "platform/grab.h"

bool grab_open(grab_context *ctx, int32_t width, int32_t height) {
    ctx->width = width;
    ctx->height = height;
    ctx->screen_dc = nullptr;
    ctx->memory_dc = nullptr;
    ctx->bitmap = nullptr;
    ctx->previous_object = nullptr;
    ctx->ready = false;
    ctx->cursor_wanted = false;
    ctx->cursor_handle = nullptr;
    ctx->cursor_hot_x = 0;
    ctx->cursor_hot_y = 0;

    ctx->screen_dc = GetDC(nullptr);
    if (ctx->screen_dc != nullptr) {
        ctx->memory_dc = CreateCompatibleDC(ctx->screen_dc);
    }
    if (ctx->memory_dc != nullptr) {
        // Compatible with the screen, not with the memory context, which
        // would give a monochrome bitmap.
        ctx->bitmap = CreateCompatibleBitmap(ctx->screen_dc, width, height);
    }
    if (ctx->bitmap != nullptr) {
        ctx->previous_object = SelectObject(ctx->memory_dc, ctx->bitmap);
        ctx->ready = true;
    }

    // 32 bits per pixel, BI_RGB, a negative height for top-down rows: exactly
    // the layout of the frame buffer.
    ctx->bitmap_info = BITMAPINFO{};
    BITMAPINFOHEADER &h = ctx->bitmap_info.bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    h.biHeight = -height;
    h.biPlanes = 1;
    h.biBitCount = 32;
    h.biCompression = BI_RGB;
    return ctx->ready;
}

// GDI keeps nothing between grabs: a single picture opens as any other.
bool grab_open_single(grab_context *ctx, int32_t width, int32_t height) {
    return grab_open(ctx, width, height);
}

// BitBlt has no moment of waiting that the caller could use.
void grab_while_waiting(grab_context *, void (*)(void *), void *) {}

bool grab_frame(grab_context *ctx, int32_t x, int32_t y, uint8_t *pixels) {
    if (!ctx->ready) {
        return false;
    }
    if (BitBlt(ctx->memory_dc, 0, 0, ctx->width, ctx->height, ctx->screen_dc, x, y, SRCCOPY) == 0) {
        return false;
    }
    if (ctx->cursor_wanted) {
        win32_draw_cursor(ctx, x, y);
    }
    const int lines = GetDIBits(ctx->memory_dc, ctx->bitmap, 0, static_cast<UINT>(ctx->height), pixels,
                                &ctx->bitmap_info, DIB_RGB_COLORS);
    return lines > 0;
}

void grab_close(grab_context *ctx) {
    if (ctx->memory_dc != nullptr) {
        if (ctx->previous_object != nullptr) {
            SelectObject(ctx->memory_dc, ctx->previous_object);
        }
        if (ctx->bitmap != nullptr) {
            DeleteObject(ctx->bitmap);
        }
        DeleteDC(ctx->memory_dc);
    }
    if (ctx->screen_dc != nullptr) {
        ReleaseDC(nullptr, ctx->screen_dc);
    }
    ctx->screen_dc = nullptr;
    ctx->memory_dc = nullptr;
    ctx->bitmap = nullptr;
    ctx->previous_object = nullptr;
    ctx->ready = false;
}

// GetDIBits cannot leave the pixels anywhere but in a caller's buffer, and
// GDI tells nothing about what changed: every grab fills `scratch`.
bool grab_view(grab_context *ctx, int32_t x, int32_t y, uint8_t *scratch, bgra_picture *picture) {
    if (!grab_frame(ctx, x, y, scratch)) {
        return false;
    }
    *picture = bgra_picture{scratch, static_cast<std::size_t>(ctx->width) * 4, false};
    return true;
}

// GDI tells nothing about what changed: every grab_view grabs anyway.
void grab_reuse_unchanged(grab_context *, bool) {}
