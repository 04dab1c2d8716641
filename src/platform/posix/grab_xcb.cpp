// The X11 screen grab: one MIT-SHM GetImage of the root window per frame
// (plain GetImage when shared memory is not available). grab_frame copies the
// image into the caller's top-down BGRA buffer; grab_view hands out the
// segment (or the reply) itself, and skips the request altogether when the
// DAMAGE extension reports nothing drawn inside the rectangle and the
// pointer stayed as it was.
#include "platform/grab.h"
#include "platform/posix/grab_damage.h"
#include "platform/posix/grab_kept.h"
#include "platform/posix/grab_pixels.h"
#include "platform/posix/grab_shm.h"
#include "platform/posix/xcb_connection.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

xcb_connection_t *conn(const grab_context *ctx) {
    return static_cast<xcb_connection_t *>(ctx->connection);
}

// Reads the root window's size again, after a failed request: the screen may
// have been resized since the grab was opened.
void posix_refresh_screen_size(grab_context *ctx) {
    xcb_connection_t *c = conn(ctx);
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, ctx->root), nullptr);
    if (g != nullptr) {
        ctx->screen_width = g->width;
        ctx->screen_height = g->height;
        std::free(g);
    }
}

// A kept connection still answers: the root window's size (the screen may
// have been resized since) comes back, and nothing from before waits in it.
bool posix_kept_answers(xcb_connection_t *c, int screen_number, int32_t *width, int32_t *height) {
    if (xcb_connection_has_error(c) != 0) {
        return false;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_number && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem <= 0) {
        return false;
    }
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, it.data->root), nullptr);
    if (g == nullptr) {
        return false;
    }
    *width = g->width;
    *height = g->height;
    std::free(g);
    while (xcb_generic_event_t *e = xcb_poll_for_queued_event(c)) {
        std::free(e);
    }
    return true;
}

// posix_grab_open that may borrow what the last single grab left (its
// segment and connection, grab_open_single) instead of making its own.
bool posix_grab_open_with(grab_context *ctx, int32_t width, int32_t height, bool allow_shm, bool borrow) {
    *ctx = grab_context{};
    ctx->width = width;
    ctx->height = height;
    ctx->shm_id = -1;
    ctx->kept_id = -1;
    if (width <= 0 || height <= 0) {
        return false;
    }
    const bool local = allow_shm && posix_display_is_local();
    int32_t kept_width = 0;
    int32_t kept_height = 0;
    bool reused = false;
    if (local && borrow && posix_borrow_kept(ctx) && ctx->connection != nullptr) {
        reused = posix_kept_answers(conn(ctx), ctx->screen_number, &kept_width, &kept_height);
        if (!reused) {
            posix_forget_kept_connection(ctx);
        }
    }
    if (!reused) {
        ctx->connection = posix_xcb_connect(nullptr, &ctx->screen_number);
    }
    xcb_connection_t *c = conn(ctx);
    if (xcb_connection_has_error(c) != 0) {
        return false;
    }
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < ctx->screen_number && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem <= 0) {
        return false;
    }
    ctx->root = it.data->root;
    ctx->screen_width = reused ? kept_width : it.data->width_in_pixels;
    ctx->screen_height = reused ? kept_height : it.data->height_in_pixels;
    if (!posix_pick_format(ctx, setup, it.data)) {
        return false;
    }
    ctx->use_shm =
        local && posix_attach_shm(ctx, posix_row_bytes(ctx, ctx->width) * static_cast<size_t>(ctx->height));
    if (!ctx->use_shm) {
        posix_release_shm(ctx);
    }
    ctx->ready = true;
    return true;
}

} // namespace

bool posix_grab_open(grab_context *ctx, int32_t width, int32_t height, bool allow_shm) {
    return posix_grab_open_with(ctx, width, height, allow_shm, false);
}

bool grab_open(grab_context *ctx, int32_t width, int32_t height) {
    return posix_grab_open_with(ctx, width, height, true, false);
}

bool grab_open_single(grab_context *ctx, int32_t width, int32_t height) {
    return posix_grab_open_with(ctx, width, height, true, true);
}

namespace {

// Takes in the events that have already arrived: pointer changes and drawn
// rectangles.
void posix_take_queued_events(grab_context *ctx) {
    while (xcb_generic_event_t *e = xcb_poll_for_queued_event(conn(ctx))) {
        posix_cursor_take_event(&ctx->cursor, e->response_type);
        posix_damage_take_event(ctx, e);
        std::free(e);
    }
}

// Where the server's image of one grab lies: `source` holds ih rows of iw
// server pixels, `source_row` bytes apart, to be placed at column dx, row dy
// of the grab rectangle. `source` is null when no part of the rectangle lies
// on the screen.
struct posix_fetched {
    const uint8_t *source;
    size_t source_row;
    int32_t dx;
    int32_t dy;
    int32_t iw;
    int32_t ih;
};

void posix_drop_reply(grab_context *ctx) {
    std::free(ctx->reply);
    ctx->reply = nullptr;
}

// Sends the request just made and, while the server works on it, makes the
// call grab_while_waiting asked for.
void posix_call_while_waiting(grab_context *ctx) {
    if (ctx->on_wait != nullptr) {
        void (*fn)(void *) = ctx->on_wait;
        ctx->on_wait = nullptr;
        xcb_flush(conn(ctx));
        fn(ctx->on_wait_arg);
    }
}

// Asks the server for the part of the rectangle at (x, y) that lies on the
// root window. The image stays in the segment, or in ctx->reply for the
// plain request, until the next fetch or grab_close.
bool posix_fetch(grab_context *ctx, int32_t x, int32_t y, posix_fetched *out) {
    xcb_connection_t *c = conn(ctx);
    posix_drop_reply(ctx);
    // The server refuses a rectangle that is not wholly on the root window:
    // ask for the part that lies on it, the rest is black. In 64 bits, so
    // that no origin near the 32-bit limits wraps.
    const int64_t x0 = std::max<int64_t>(x, 0);
    const int64_t y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t{x} + ctx->width, ctx->screen_width);
    const int64_t y1 = std::min<int64_t>(int64_t{y} + ctx->height, ctx->screen_height);
    *out = posix_fetched{};
    if (x1 <= x0 || y1 <= y0) {
        return true;
    }
    const auto ix = static_cast<int16_t>(x0);
    const auto iy = static_cast<int16_t>(y0);
    const auto iw = static_cast<uint16_t>(x1 - x0);
    const auto ih = static_cast<uint16_t>(y1 - y0);
    const size_t src_row = posix_row_bytes(ctx, iw);
    const size_t need = src_row * ih;
    out->source_row = src_row;
    out->dx = static_cast<int32_t>(x0 - x);
    out->dy = static_cast<int32_t>(y0 - y);
    out->iw = iw;
    out->ih = ih;
    if (ctx->use_shm) {
        const xcb_shm_get_image_cookie_t cookie =
            xcb_shm_get_image(c, ctx->root, ix, iy, iw, ih, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, ctx->shm_seg, 0);
        posix_call_while_waiting(ctx);
        xcb_shm_get_image_reply_t *r = xcb_shm_get_image_reply(c, cookie, nullptr);
        const bool ok = r != nullptr && r->size >= need;
        std::free(r);
        if (!ok) {
            posix_refresh_screen_size(ctx);
            return false;
        }
        posix_map_segment(ctx);
        out->source = ctx->shm_data;
        return true;
    }
    const xcb_get_image_cookie_t cookie =
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, ctx->root, ix, iy, iw, ih, ~0u);
    posix_call_while_waiting(ctx);
    xcb_get_image_reply_t *r = xcb_get_image_reply(c, cookie, nullptr);
    if (r == nullptr || static_cast<size_t>(xcb_get_image_data_length(r)) < need) {
        std::free(r);
        posix_refresh_screen_size(ctx);
        return false;
    }
    ctx->reply = r;
    out->source = xcb_get_image_data(r);
    return true;
}

void posix_place_fetched(const grab_context *ctx, const posix_fetched &f, uint8_t *pixels) {
    if (f.source == nullptr) {
        std::memset(pixels, 0, static_cast<size_t>(ctx->width) * static_cast<size_t>(ctx->height) * 4);
    } else {
        posix_place_image(ctx, f.source, f.source_row, f.dx, f.dy, f.iw, f.ih, pixels);
    }
}

// The pointer as it will be drawn into this grab's picture.
struct posix_pointer_state {
    bool drawn;
    int32_t x;
    int32_t y;
    uint32_t serial;
};

// Where the pointer is gets asked before the image; every event sent before
// that answer is in once it is here, so a new pointer image (and every drawn
// rectangle) is known before the picture is taken. Without the pointer, a
// round trip of its own serves the damage. A pointer whose image does not
// reach into the rectangle at (x, y) counts as not drawn, so that its moves
// elsewhere on the screen change nothing.
bool posix_settle_pointer(grab_context *ctx, int32_t x, int32_t y, bool track_damage,
                          posix_pointer_state *state) {
    xcb_connection_t *c = conn(ctx);
    *state = posix_pointer_state{};
    const bool cursor = ctx->cursor.wanted && posix_cursor_start(&ctx->cursor, c, ctx->root);
    if (cursor) {
        posix_cursor_ask(&ctx->cursor, c, ctx->root);
        posix_cursor_read(&ctx->cursor, c);
    } else if (track_damage) {
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    posix_take_queued_events(ctx);
    if (cursor && posix_cursor_settle(&ctx->cursor, c) &&
        cursor_footprint(ctx->cursor.image, int64_t{ctx->cursor.x} - x, int64_t{ctx->cursor.y} - y,
                         ctx->width, ctx->height)
                .w > 0) {
        *state = posix_pointer_state{true, ctx->cursor.x, ctx->cursor.y, ctx->cursor.serial};
    }
    return cursor;
}

void posix_draw_pointer(const grab_context *ctx, const posix_pointer_state &p, int32_t x, int32_t y,
                        uint8_t *pixels, size_t stride) {
    if (p.drawn) {
        blend_cursor(pixels, ctx->width, ctx->height, stride, 4, ctx->cursor.image, int64_t{p.x} - x,
                     int64_t{p.y} - y);
    }
}

} // namespace

bool grab_frame(grab_context *ctx, int32_t x, int32_t y, uint8_t *pixels) {
    if (!ctx->ready || xcb_connection_has_error(conn(ctx)) != 0) {
        return false;
    }
    // The picture lives in the caller's buffer: a later view has none to reuse.
    ctx->have_last = false;
    const bool cursor = ctx->cursor.wanted && posix_cursor_start(&ctx->cursor, conn(ctx), ctx->root);
    if (cursor) {
        posix_cursor_ask(&ctx->cursor, conn(ctx), ctx->root);
    }
    posix_fetched f{};
    const bool grabbed = posix_fetch(ctx, x, y, &f);
    if (grabbed) {
        posix_place_fetched(ctx, f, pixels);
        posix_drop_reply(ctx);
    }
    if (cursor) {
        posix_cursor_read(&ctx->cursor, conn(ctx));
        posix_take_queued_events(ctx);
        if (posix_cursor_settle(&ctx->cursor, conn(ctx)) && grabbed) {
            blend_cursor(pixels, ctx->width, ctx->height, static_cast<size_t>(ctx->width) * 4, 4,
                         ctx->cursor.image, int64_t{ctx->cursor.x} - x, int64_t{ctx->cursor.y} - y);
        }
    }
    return grabbed;
}

bool grab_view(grab_context *ctx, int32_t x, int32_t y, uint8_t *scratch, bgra_picture *picture) {
    if (!ctx->ready || xcb_connection_has_error(conn(ctx)) != 0) {
        return false;
    }
    if (!ctx->damage_tried) {
        // Only recordings track damage; a screenshot's one grab needs none.
        ctx->damage_tried = true;
        if (!ctx->no_reuse) {
            posix_damage_open(ctx);
        }
    }
    // Damage and the pointer are settled before the image is asked for:
    // whatever is drawn after this point is either in this image or
    // reported for the next one.
    posix_damage_track(ctx, x, y);
    posix_pointer_state pointer{};
    posix_settle_pointer(ctx, x, y, ctx->use_damage, &pointer);
    const bool damaged = posix_damage_take(ctx);
    const bool same_pointer =
        pointer.drawn == ctx->last_pointer_drawn &&
        (!pointer.drawn || (pointer.x == ctx->last_pointer_x && pointer.y == ctx->last_pointer_y &&
                            pointer.serial == ctx->last_pointer_serial));
    if (ctx->have_last && !damaged && same_pointer && ctx->last_x == x && ctx->last_y == y) {
        *picture = ctx->last;
        picture->unchanged = true;
        return true;
    }
    ctx->have_last = false;
    posix_fetched f{};
    if (!posix_fetch(ctx, x, y, &f)) {
        return false;
    }
    const bool whole = f.source != nullptr && ctx->bits_per_pixel == 32 && f.dx == 0 && f.dy == 0 &&
                       f.iw == ctx->width && f.ih == ctx->height;
    if (whole) {
        // The segment (or reply) is ours until the next request: the pointer
        // is drawn straight into it.
        uint8_t *own = ctx->use_shm ? ctx->shm_data
                                    : xcb_get_image_data(static_cast<xcb_get_image_reply_t *>(ctx->reply));
        posix_draw_pointer(ctx, pointer, x, y, own, f.source_row);
        *picture = bgra_picture{own, f.source_row, false};
    } else {
        posix_place_fetched(ctx, f, scratch);
        posix_draw_pointer(ctx, pointer, x, y, scratch, static_cast<size_t>(ctx->width) * 4);
        *picture = bgra_picture{scratch, static_cast<size_t>(ctx->width) * 4, false};
    }
    ctx->last = *picture;
    ctx->last_x = x;
    ctx->last_y = y;
    ctx->last_pointer_drawn = pointer.drawn;
    ctx->last_pointer_x = pointer.x;
    ctx->last_pointer_y = pointer.y;
    ctx->last_pointer_serial = pointer.serial;
    // Only a tracked screen can tell that the next picture is the same, and
    // only a picture in the grab's own memory is sure to be there still.
    ctx->have_last = ctx->use_damage && whole;
    return true;
}

void grab_reuse_unchanged(grab_context *ctx, bool reuse) {
    ctx->no_reuse = !reuse;
    if (!reuse) {
        posix_damage_close(ctx);
        ctx->have_last = false;
    }
}

void grab_include_cursor(grab_context *ctx, bool include) {
    ctx->cursor.wanted = include;
}

void grab_while_waiting(grab_context *ctx, void (*fn)(void *), void *arg) {
    ctx->on_wait = fn;
    ctx->on_wait_arg = arg;
}

void grab_close(grab_context *ctx) {
    // A single grab's connection serves the next one when it is as it was
    // made: the picture came through the segment, and the server was asked
    // for no notifications (of the pointer or of damage).
    if (ctx->kept) {
        posix_return_kept(ctx, ctx->ready && ctx->use_shm && !ctx->cursor.started && ctx->damage == 0 &&
                                   ctx->connection != nullptr && xcb_connection_has_error(conn(ctx)) == 0);
    }
    posix_drop_reply(ctx);
    posix_damage_close(ctx);
    ctx->have_last = false;
    ctx->damage_tried = false;
    posix_cursor_close(&ctx->cursor);
    posix_release_shm(ctx);
    if (ctx->connection != nullptr) {
        xcb_disconnect(conn(ctx));
        ctx->connection = nullptr;
    }
    ctx->ready = false;
    ctx->use_shm = false;
}
