// The X server's pixel format for the grab, and copying its images into a
// caller's top-down BGRA buffer.
#include "platform/posix/grab_pixels.h"

#include <cstring>

// Bytes of one server row of `width` pixels in ZPixmap format.
size_t posix_row_bytes(const grab_context *ctx, int64_t width) {
    const int64_t pad = ctx->scanline_pad;
    const int64_t bits = width * ctx->bits_per_pixel;
    return static_cast<size_t>((bits + pad - 1) / pad * pad / 8);
}

// The root window's visual must be TrueColor with 8 bits per channel in the
// order the BGRA buffer uses, at depth 24 or 32; the pixmap format of that
// depth gives the server's pixel size and row padding.
bool posix_pick_format(grab_context *ctx, const xcb_setup_t *setup, const xcb_screen_t *screen) {
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return false;
    }
    if (screen->root_depth != 24 && screen->root_depth != 32) {
        return false;
    }
    const xcb_visualtype_t *visual = nullptr;
    for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0 && visual == nullptr;
         xcb_depth_next(&d)) {
        if (d.data->depth != screen->root_depth) {
            continue;
        }
        for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem > 0;
             xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen->root_visual) {
                visual = v.data;
                break;
            }
        }
    }
    if (visual == nullptr || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR || visual->red_mask != 0xff0000u ||
        visual->green_mask != 0x00ff00u || visual->blue_mask != 0x0000ffu) {
        return false;
    }
    const xcb_format_t *formats = xcb_setup_pixmap_formats(setup);
    const int count = xcb_setup_pixmap_formats_length(setup);
    for (int i = 0; i < count; ++i) {
        if (formats[i].depth == screen->root_depth &&
            (formats[i].bits_per_pixel == 24 || formats[i].bits_per_pixel == 32) &&
            formats[i].scanline_pad % 8 == 0 && formats[i].scanline_pad > 0) {
            ctx->depth = screen->root_depth;
            ctx->bits_per_pixel = formats[i].bits_per_pixel;
            ctx->scanline_pad = formats[i].scanline_pad;
            return true;
        }
    }
    return false;
}

// Copies an image of iw x ih server pixels into the caller's buffer at column
// dx, row dy, filling everything else with black (all four bytes 0).
void posix_place_image(const grab_context *ctx, const uint8_t *src, size_t src_row, int32_t dx, int32_t dy,
                       int32_t iw, int32_t ih, uint8_t *pixels) {
    const size_t dst_row = static_cast<size_t>(ctx->width) * 4;
    const size_t h = static_cast<size_t>(ctx->height);
    const size_t top = static_cast<size_t>(dy);
    const size_t bottom = top + static_cast<size_t>(ih);
    const size_t left = static_cast<size_t>(dx) * 4;
    const size_t inner = static_cast<size_t>(iw) * 4;
    if (top > 0) {
        std::memset(pixels, 0, top * dst_row);
    }
    if (ctx->bits_per_pixel == 32 && left == 0 && inner == dst_row && src_row == dst_row) {
        std::memcpy(pixels + top * dst_row, src, static_cast<size_t>(ih) * dst_row);
    } else {
        for (size_t y = top; y < bottom; ++y) {
            uint8_t *dst = pixels + y * dst_row;
            const uint8_t *s = src + (y - top) * src_row;
            std::memset(dst, 0, left);
            if (ctx->bits_per_pixel == 32) {
                std::memcpy(dst + left, s, inner);
            } else {
                uint8_t *d = dst + left;
                for (int32_t x = 0; x < iw; ++x, d += 4, s += 3) {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    d[3] = 0;
                }
            }
            std::memset(dst + left + inner, 0, dst_row - left - inner);
        }
    }
    if (bottom < h) {
        std::memset(pixels + bottom * dst_row, 0, (h - bottom) * dst_row);
    }
}
